#pragma once

// Vehicle files: TOML, every key optional and defaulting to the built-in aircraft, SI units,
// angles in radians, polynomial coefficients in ascending powers. The keys:
//   air_density kg/m^3, gravity m/s^2, mass kg, wing_area m^2 (each > 0)
//   lift_rotors (a whole number >= 1), lift_rotor_diameter m (> 0)
//   angle_of_attack [4] rad in speed (the cubic schedule), or instead the table schedule:
//     schedule_speed [n] m/s, from 0 up, strictly increasing, and schedule_angle [n] rad,
//     within +-90 deg, 2 <= n <= 1000 knots, the angle linear in speed between them
//   propeller_thrust [3] N in speed,
//   lift_coefficient [2] and drag_coefficient [3] in angle of attack
// An integer where a real is expected is read as that real. Every value must be finite. A
// file gives the cubic or both table keys, never both schedules and never one key alone;
// its table replaces the vehicle's schedule, as the cubic does. A setting of a table's key,
// whole or one element, keeps the vehicle's number of knots.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "flight_model/vehicle_model.h"

// What is not a vehicle file, or not a setting: one line saying where and what was
// expected, such as "heavy.toml:3: mass: expected a number, not a string".
struct VehicleError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A vehicle file that cannot be opened or read: the message as for any VehicleError, and the
// errno of the failure (ENOENT, EISDIR, ...), for a caller that reports it as the system's.
struct VehicleFileError : VehicleError {
    VehicleFileError(const std::string& message, int error) : VehicleError(message), error(error) {}
    int error;
};
// A key that is no vehicle key, "...: unknown key 'mas'; the nearest known key is 'mass'".
struct UnknownKeyError : VehicleError {
    using VehicleError::VehicleError;
};

// `text` as a message may show it on one line of a terminal: line feed, CR and tab as \n, \r,
// \t, any other control character as \xNN.
std::string printable(const std::string& text);

// Reads the file at `path` over `vehicle`, replacing the values of the keys it has. A path
// with a NUL byte, which would name another file to the system, is refused; a file that
// cannot be opened or read is refused with VehicleFileError.
void read_vehicle_file(const std::string& path, Vehicle& vehicle);

// Applies one "KEY=VALUE" or "KEY[i]=VALUE" setting (VALUE as TOML writes it) to `vehicle`,
// refused after `where` ("--set SETTING" when not given).
void apply_setting(const std::string& setting, Vehicle& vehicle);
void apply_setting(const std::string& setting, Vehicle& vehicle, const std::string& where);

// The keys of a vehicle file, in the order a written file gives them: each name, its number
// of values (1 for a scalar, 0 for one per knot of a table schedule), and the comment a
// written file gives it. A vehicle has angle_of_attack or the two table keys (has_key).
struct VehicleKey {
    std::string name;
    int length;
    std::string what;
};
std::vector<VehicleKey> vehicle_keys();
bool has_key(const Vehicle& vehicle, const std::string& key);

// The values of `key` in `vehicle` (the rotor count as a double; none for a key of the
// schedule form the vehicle does not have). Refuses an unknown key with UnknownKeyError.
std::vector<double> key_values(const Vehicle& vehicle, const std::string& key);

// Sets `key` of `vehicle` to `values` (one for a scalar key, all of an array key's), with the
// same checks and messages as a vehicle file's value ("mass: must be greater than 0, not 0");
// refused, the vehicle is left as it was.
void assign_key(const std::string& key, const std::vector<double>& values, Vehicle& vehicle);

// Makes `vehicle`'s schedule the table of `speeds` and `angles`, of any number of knots,
// with a file's checks and messages after `where`; refused, the vehicle is left as it was.
void assign_table(const std::vector<double>& speeds, const std::vector<double>& angles, Vehicle& vehicle,
                  const std::string& where = "");

// Sets the whole-number key `key` (lift_rotors) to the integer written in decimal digits,
// with an optional minus sign, in `integer` ("6", "-1", "18446744073709551616"), with the
// file's checks and messages: an integer of any size is a whole number, in range or not.
// Refused, the vehicle is left as it was.
void assign_count(const std::string& key, const std::string& integer, Vehicle& vehicle);

// One number of a vehicle, named as a setting names it: a scalar key ("mass"), or one
// element of an array key ("propeller_thrust[0]").
struct VehicleValue {
    std::string name;
    int key;    // which key
    int index;  // which element, 0 for a scalar, -1 for a whole array
};

// The value `name` names; an unknown key, an index out of range, or a whole array key is
// refused ("WHERE: ...", WHERE being `where`).
VehicleValue find_value(const std::string& name, const std::string& where);

// The real values of a vehicle, named as a setting names them ("mass",
// "angle_of_attack[2]"), in the order a written file gives them, which is each_real's
// (vehicle_model.h); the rotor count, a whole number, is not among them.
std::vector<std::string> real_value_names(const Vehicle& vehicle);

// Which of those `value` is, for a scalar real key or one element of an array key; refuses
// the rotor count and a whole array (VehicleError "WHERE: ...").
std::size_t real_value_index(const VehicleValue& value, const Vehicle& vehicle, const std::string& where);

// A value's unit: "kg", "m^2"; a polynomial's coefficient i its value's unit over its
// variable's to the power i ("N/(m/s)^2", "1/rad"); "" for the number of lift rotors and
// for a pure number.
std::string value_unit(const VehicleValue& value);

// Sets that value to x, refusing as a file would a value that is not finite, out of its
// range, or not a whole number of rotors.
void set_value(const VehicleValue& value, double x, Vehicle& vehicle, const std::string& where);

// The vehicle as a file that reads back to the same doubles, each value in the fewest
// digits that do so.
std::string vehicle_file_text(const Vehicle& vehicle);
