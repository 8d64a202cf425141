#include "vehicle_file/vehicle_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <sys/stat.h>

#include <toml++/toml.h>

namespace {

// Which vehicles have a key: every one, only those whose schedule is the cubic, or only those
// whose schedule is a table.
enum class Form { any, cubic, table };

// One key of a vehicle file and the values it sets: `length` reals from values(v) on (0 for
// one per knot of the vehicle's table), or the rotor count when `values` is null. A
// polynomial's coefficient i has the unit `unit` / `per`^i, its value's unit over its
// variable's to the power i.
struct Key {
    const char* name;
    int length;
    double* (*values)(Vehicle&);
    bool positive;     // each value must be > 0
    Form form;
    const char* what;  // shown in a written file
    const char* unit;  // the value's unit, "" for a pure number
    const char* per;   // a polynomial's variable's unit, else ""
};

const Key keys[] = {
    {"air_density", 1, [](Vehicle& v) { return &v.rho; }, true, Form::any, "kg/m^3", "kg/m^3", ""},
    {"gravity", 1, [](Vehicle& v) { return &v.g; }, true, Form::any, "m/s^2", "m/s^2", ""},
    {"mass", 1, [](Vehicle& v) { return &v.m; }, true, Form::any, "kg", "kg", ""},
    {"wing_area", 1, [](Vehicle& v) { return &v.S; }, true, Form::any, "m^2", "m^2", ""},
    {"lift_rotors", 1, nullptr, true, Form::any, "number of lift rotors", "", ""},
    {"lift_rotor_diameter", 1, [](Vehicle& v) { return &v.d; }, true, Form::any, "m, each", "m", ""},
    {"angle_of_attack", 4, [](Vehicle& v) { return v.schedule.cubic; }, false, Form::cubic,
     "rad, in speed: c0 + c1 v + c2 v^2 + c3 v^3", "rad", "(m/s)"},
    {"schedule_speed", 0, [](Vehicle& v) { return v.schedule.speeds.data(); }, false, Form::table,
     "m/s, the schedule's knots, from 0 up, strictly increasing", "m/s", ""},
    {"schedule_angle", 0, [](Vehicle& v) { return v.schedule.angles.data(); }, false, Form::table,
     "rad, the angle of attack at each knot, linear in speed between them, held outside", "rad", ""},
    {"propeller_thrust", 3, [](Vehicle& v) { return v.propeller; }, false, Form::any,
     "N, in speed: c0 + c1 v + c2 v^2", "N", "(m/s)"},
    {"lift_coefficient", 2, [](Vehicle& v) { return v.lift_curve; }, false, Form::any,
     "in angle of attack: c0 + c1 alpha", "", "rad"},
    {"drag_coefficient", 3, [](Vehicle& v) { return v.drag_polar; }, false, Form::any,
     "in angle of attack: c0 + c1 alpha + c2 alpha^2", "", "rad"},
};

const Key& speed_key = keys[7];
const Key& angle_key = keys[8];

// A table's knots: at least 2, at most most_knots; its angles within +-90 degrees, where
// the model means anything.
constexpr std::size_t most_knots = 1000;
constexpr double right_angle = 1.5707963267948966;

// Whether the vehicle has key k, and how many values it has.
bool has(const Key& k, const Vehicle& v) {
    return k.form == Form::any || (k.form == Form::table) == v.schedule.table;
}
int length_of(const Key& k, const Vehicle& v) {
    return k.length > 0 ? k.length : static_cast<int>(v.schedule.speeds.size());
}

// The largest rotor count taken: far beyond any aircraft, and exact as a double.
constexpr long long most_rotors = 1000000;

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

const Key* find_key(const std::string& name) {
    for (const Key& k : keys) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

[[noreturn]] void unknown_key(const std::string& where, const std::string& name) {
    const Key* nearest = &keys[0];
    for (const Key& k : keys) {
        if (edit_distance(name, k.name) < edit_distance(name, nearest->name)) nearest = &k;
    }
    throw UnknownKeyError(where + "unknown key '" + printable(name) + "'; the nearest known key is '" +
                       nearest->name + "'");
}

std::string type_name(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a real number";
        default: return "a date or time";
    }
}

std::string text_of(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// One real from `node` for key k (element `index` of an array key, -1 for a scalar),
// refused with `where` before the message.
double real_value(const toml::node& node, const Key& k, int index, const std::string& where) {
    const std::string name = index < 0 ? k.name : std::string(k.name) + "[" + std::to_string(index) + "]";
    double x;
    if (const auto* i = node.as_integer()) {
        x = static_cast<double>(i->get());
    } else if (const auto* f = node.as_floating_point()) {
        x = f->get();
    } else {
        throw VehicleError(where + name + ": expected a number, not " + type_name(node));
    }
    if (!std::isfinite(x)) throw VehicleError(where + name + ": " + text_of(x) + " is not a finite number");
    if (k.positive && !(x > 0.0)) {
        throw VehicleError(where + name + ": must be greater than 0, not " + text_of(x));
    }
    return x;
}

// The fewest digits that read back as the same double.
std::string short_text(double x) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, x).ptr);
}

// Refuses the speed of knot i of vehicle v's table with `where` before the message: below 0
// for the first, not above the speed before it, and with `after` not below the one after it.
void check_speed(const Vehicle& v, std::size_t i, bool after, const std::string& where) {
    const std::vector<double>& s = v.schedule.speeds;
    const std::string speed = std::string("schedule_speed[") + std::to_string(i) + "]";
    if (i == 0 && !(s[0] >= 0.0))
        throw VehicleError(where + speed + ": expected a speed of 0 or more, not " + short_text(s[0]));
    if (i > 0 && !(s[i] > s[i - 1]))
        throw VehicleError(where + speed + ": expected speeds strictly increasing, not " + short_text(s[i]) +
                           " after " + short_text(s[i - 1]));
    if (after && i + 1 < s.size() && !(s[i + 1] > s[i]))
        throw VehicleError(where + speed + ": expected speeds strictly increasing, not " + short_text(s[i]) +
                           " before " + short_text(s[i + 1]));
}

// Refuses the angle of knot i not within +-90 degrees.
void check_angle(const Vehicle& v, std::size_t i, const std::string& where) {
    const double a = v.schedule.angles[i];
    if (!(std::fabs(a) < right_angle)) {
        throw VehicleError(where + "schedule_angle[" + std::to_string(i) + "]: expected an angle within +-90 deg "
                           "(+-1.5707963267948966 rad), not " + short_text(a));
    }
}

std::string at_line(const std::string& source, const toml::node& node) {
    return source + ":" + std::to_string(node.source().begin.line) + ": ";
}

// The refusal of a rotor count: `given` is the number as written, or the kind of value.
[[noreturn]] void bad_count(const std::string& where, const Key& k, const std::string& given) {
    throw VehicleError(where + k.name + ": expected a whole number from 1 to " + std::to_string(most_rotors) +
                       ", not " + given);
}

// Sets key k of `vehicle` from `node`, as a whole: every element of an array key.
// `where` is the prefix of a refusal; for a file, each element's own line is named.
void assign(const Key& k, const toml::node& node, const std::string& source, bool file, Vehicle& vehicle) {
    const std::string where = file ? at_line(source, node) : source.empty() ? "" : source + ": ";
    if (k.values == nullptr) {
        const auto* count = node.as_integer();
        if (count == nullptr || count->get() < 1 || count->get() > most_rotors) {
            bad_count(where, k, count ? std::to_string(count->get()) : type_name(node));
        }
        vehicle.rotors = static_cast<int>(count->get());
        return;
    }
    if (k.length == 1) {
        *k.values(vehicle) = real_value(node, k, -1, where);
        return;
    }
    const auto* array = node.as_array();
    if (k.length == 0) {
        // A table's speeds or angles, one per knot of the vehicle's table.
        const std::size_t knots = vehicle.schedule.speeds.size();
        if (array == nullptr || array->size() != knots) {
            throw VehicleError(where + k.name + ": expected an array of " + std::to_string(knots) +
                               " numbers, one for each knot of the table, not " +
                               (array ? "an array of " + std::to_string(array->size()) : type_name(node)));
        }
    } else if (array == nullptr || static_cast<int>(array->size()) != k.length) {
        throw VehicleError(where + k.name + ": expected an array of " + std::to_string(k.length) +
                           " numbers (" + k.what + "), not " +
                           (array ? "an array of " + std::to_string(array->size()) : type_name(node)));
    }
    std::vector<double> values(array->size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const toml::node& element = *array->get(i);
        values[i] = real_value(element, k, static_cast<int>(i), file ? at_line(source, element) : where);
    }
    if (k.form == Form::cubic) {
        vehicle.schedule.table = false;
        vehicle.schedule.speeds.clear();
        vehicle.schedule.angles.clear();
    }
    std::copy(values.begin(), values.end(), k.values(vehicle));
    if (k.form == Form::table) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string at = file ? at_line(source, *array->get(i)) : where;
            if (&k == &speed_key) check_speed(vehicle, i, false, at);
            if (&k == &angle_key) check_angle(vehicle, i, at);
        }
    }
}

// A table schedule from its two arrays, over `vehicle`'s: each an array of 2 to most_knots
// numbers, of the same length, each element checked with its own line for a file.
void assign_table(const toml::node& speeds, const toml::node& angles, const std::string& source, bool file,
                  Vehicle& vehicle) {
    const auto where = [&](const toml::node& node) {
        return file ? at_line(source, node) : source.empty() ? std::string() : source + ": ";
    };
    const auto* s = speeds.as_array();
    const auto* a = angles.as_array();
    if (s == nullptr || s->size() < 2 || s->size() > most_knots) {
        throw VehicleError(where(speeds) + "schedule_speed: expected an array of 2 to " + std::to_string(most_knots) +
                           " speeds (" + speed_key.what + "), not " +
                           (s ? "an array of " + std::to_string(s->size()) : type_name(speeds)));
    }
    if (a == nullptr || a->size() != s->size()) {
        throw VehicleError(where(angles) + "schedule_angle: expected an array of " + std::to_string(s->size()) +
                           " angles, one for each speed of schedule_speed, not " +
                           (a ? "an array of " + std::to_string(a->size()) : type_name(angles)));
    }
    Vehicle changed = vehicle;
    changed.schedule.table = true;
    changed.schedule.speeds.assign(s->size(), 0.0);
    changed.schedule.angles.assign(s->size(), 0.0);
    for (std::size_t i = 0; i < s->size(); ++i) {
        changed.schedule.speeds[i] = real_value(*s->get(i), speed_key, static_cast<int>(i), where(*s->get(i)));
        changed.schedule.angles[i] = real_value(*a->get(i), angle_key, static_cast<int>(i), where(*a->get(i)));
    }
    for (std::size_t i = 0; i < s->size(); ++i) check_speed(changed, i, false, where(*s->get(i)));
    for (std::size_t i = 0; i < a->size(); ++i) check_angle(changed, i, where(*a->get(i)));
    vehicle = changed;
}

// The whole of a file of at most 1 MiB, or a refusal naming it as `shown`.
std::string contents(const std::string& path, const std::string& shown) {
    if (path.find('\0') != std::string::npos) throw VehicleError(shown + ": cannot read it: the path has a NUL byte");
    const auto unreadable = [&shown](int error) {
        return VehicleFileError(shown + ": cannot read it: " + std::strerror(error), error);
    };
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw unreadable(errno);
    if (S_ISDIR(info.st_mode)) throw VehicleFileError(shown + ": is a directory, not a vehicle file", EISDIR);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw unreadable(errno);
    constexpr std::size_t most = 1 << 20;
    std::string text(most + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad()) throw unreadable(errno);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > most) throw VehicleError(shown + ": larger than 1 MiB, not a vehicle file");
    return text;
}

// The parser descends once for each part of a dotted key and each level of nested values,
// so a file of a few hundred kilobytes could exhaust the stack. A vehicle file's keys are
// plain names and its values at most one array deep: a key of more than `most_parts` parts,
// or values nested more than `most_depth` deep, is refused before the parser sees it.
// Strings and comments are skipped; a key is what stands before '=' at the start of a line,
// in a [table] header, or after '{' or ',' in an inline table.
constexpr int most_parts = 16;
constexpr int most_depth = 16;

void refuse_deep_nesting(const std::string& text, const std::string& source) {
    std::size_t line = 1;
    std::string nesting;  // '[' for an array, '{' for an inline table
    bool key = true;
    int parts = 1;
    auto refuse = [&](const std::string& what) {
        throw VehicleError(source + ":" + std::to_string(line) + ": expected " + what);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            // A string, basic or literal, on one line or (tripled quotes) on several.
            const bool triple = text.compare(i, 3, std::string(3, c)) == 0;
            const std::string end = triple ? std::string(3, c) : std::string(1, c);
            for (i += end.size(); i < text.size() && text.compare(i, end.size(), end) != 0; ++i) {
                if (text[i] == '\n') ++line;
                if (c == '"' && text[i] == '\\') {
                    if (i + 1 < text.size() && text[i + 1] == '\n') ++line;
                    ++i;
                }
            }
            i += end.size() - 1;
        } else if (c == '#') {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (c == '\n') {
            ++line;
            if (nesting.empty()) {
                key = true;
                parts = 1;
            }
        } else if (key && c == '.') {
            if (++parts > most_parts)
                refuse("a key of at most " + std::to_string(most_parts) +
                       " dotted parts (a vehicle file's keys are plain names)");
        } else if (key && c == '=') {
            key = false;
        } else if (!key && (c == '[' || c == '{')) {
            nesting += c;
            if (nesting.size() > static_cast<std::size_t>(most_depth))
                refuse("values nested at most " + std::to_string(most_depth) + " deep");
            key = c == '{';
            parts = 1;
        } else if (!key && (c == ']' || c == '}') && !nesting.empty()) {
            nesting.pop_back();
        } else if (!key && c == ',' && !nesting.empty() && nesting.back() == '{') {
            key = true;
            parts = 1;
        }
    }
}

toml::table parse(const std::string& text, const std::string& source) {
    refuse_deep_nesting(text, source);
    try {
        return toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        throw VehicleError(source + ":" + std::to_string(e.source().begin.line) + ":" +
                           std::to_string(e.source().begin.column) + ": " +
                           std::string(e.description()));
    }
}

}  // namespace

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            const char* const hex = "0123456789abcdef";
            shown += std::string("\\x") + hex[byte >> 4] + hex[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

void read_vehicle_file(const std::string& path, Vehicle& vehicle) {
    const std::string shown = printable(path);
    const toml::table table = parse(contents(path, shown), shown);
    Vehicle read = vehicle;
    // The schedule is the cubic or a table, given by its own key or keys.
    const toml::node *cubic = nullptr, *speeds = nullptr, *angles = nullptr;
    for (const auto& [name, node] : table) {
        const Key* k = find_key(std::string(name.str()));
        if (k == nullptr) unknown_key(at_line(shown, node), std::string(name.str()));
        if (k == &speed_key || k == &angle_key) {
            (k == &speed_key ? speeds : angles) = &node;
        } else {
            if (k->form == Form::cubic) cubic = &node;
            assign(*k, node, shown, true, read);
        }
    }
    if (cubic != nullptr && (speeds != nullptr || angles != nullptr)) {
        const toml::node& table_key = speeds != nullptr ? *speeds : *angles;
        throw VehicleError(at_line(shown, table_key) + (speeds != nullptr ? "schedule_speed" : "schedule_angle") +
                           ": expected either angle_of_attack or the table schedule_speed and schedule_angle, "
                           "not both schedules");
    }
    if ((speeds == nullptr) != (angles == nullptr)) {
        throw VehicleError(at_line(shown, speeds != nullptr ? *speeds : *angles) +
                           (speeds != nullptr ? "schedule_speed: expected schedule_angle too"
                                              : "schedule_angle: expected schedule_speed too") +
                           ": a table schedule is its speeds and the angle at each");
    }
    if (speeds != nullptr) assign_table(*speeds, *angles, shown, true, read);
    vehicle = read;
}

VehicleValue find_value(const std::string& name, const std::string& where) {
    std::string key = name;
    int index = -1;
    const std::size_t bracket = name.find('[');
    if (bracket != std::string::npos) {
        const std::string digits = name.substr(bracket + 1, name.size() - bracket - 2);
        if (name.back() != ']' || digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            throw VehicleError(where + ": expected KEY or KEY[INDEX] with INDEX a whole number");
        }
        index = std::atoi(digits.c_str());
        key.erase(bracket);
    }
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key(where + ": ", key);
    if (index >= 0 && (k->length == 1 || (k->length > 0 && index >= k->length))) {
        throw VehicleError(where + ": " + key + " has " +
                           (k->length == 1 ? std::string("no elements")
                                           : "elements 0 to " + std::to_string(k->length - 1)));
    }
    return {name, static_cast<int>(k - keys), index < 0 && k->length == 1 ? 0 : index};
}

std::vector<std::string> real_value_names(const Vehicle& vehicle) {
    std::vector<std::string> names;
    for (const Key& k : keys) {
        if (k.values == nullptr || !has(k, vehicle)) continue;
        if (k.length == 1) {
            names.push_back(k.name);
        } else {
            for (int i = 0; i < length_of(k, vehicle); ++i)
                names.push_back(std::string(k.name) + "[" + std::to_string(i) + "]");
        }
    }
    return names;
}

// Refuses with `where` a key that the vehicle's form of schedule does not have.
void check_form(const Key& k, const Vehicle& vehicle, const std::string& where) {
    if (has(k, vehicle)) return;
    throw VehicleError(where + k.name + (k.form == Form::table
                                             ? ": the vehicle's schedule is the cubic angle_of_attack, not a table "
                                               "(a table is given in a vehicle file, schedule_speed and schedule_angle)"
                                             : ": the vehicle's schedule is a table (schedule_speed and schedule_angle), "
                                               "not the cubic"));
}

// One element of `k` as `vehicle` has it: a whole array, or one past its end, is refused.
void check_element(const Key& k, int index, const Vehicle& vehicle, const std::string& where) {
    check_form(k, vehicle, where + ": ");
    if (index < 0) {
        throw VehicleError(where + ": " + k.name + " has " + std::to_string(length_of(k, vehicle)) +
                           " elements: name one, as " + k.name + "[0]");
    }
    if (index >= length_of(k, vehicle)) {
        throw VehicleError(where + ": " + k.name + " has elements 0 to " + std::to_string(length_of(k, vehicle) - 1));
    }
}

std::size_t real_value_index(const VehicleValue& value, const Vehicle& vehicle, const std::string& where) {
    const Key& k = keys[value.key];
    if (k.values == nullptr) throw VehicleError(where + ": " + k.name + " is a whole number, not a real value");
    check_element(k, value.index, vehicle, where);
    std::size_t index = 0;
    for (const Key* before = keys; before != &k; ++before) {
        if (before->values != nullptr && has(*before, vehicle)) index += static_cast<std::size_t>(length_of(*before, vehicle));
    }
    return index + static_cast<std::size_t>(value.index);
}

std::string value_unit(const VehicleValue& value) {
    const Key& k = keys[value.key];
    const std::string unit = k.unit;
    if (value.index <= 0 || k.length == 1 || k.per[0] == '\0') return unit;
    const std::string power = value.index == 1 ? "" : "^" + std::to_string(value.index);
    return (unit.empty() ? "1" : unit) + "/" + k.per + power;
}

void set_value(const VehicleValue& value, double x, Vehicle& vehicle, const std::string& where) {
    const Key& k = keys[value.key];
    check_element(k, value.index, vehicle, where);
    if (k.values == nullptr) {
        if (!(x >= 1.0 && x <= static_cast<double>(most_rotors) && x == std::floor(x))) {
            bad_count(where + ": ", k, text_of(x));
        }
        vehicle.rotors = static_cast<int>(x);
        return;
    }
    toml::value<double> node(x);
    const double checked = real_value(node, k, k.length == 1 ? -1 : value.index, where + ": ");
    if (k.form == Form::table) {
        Vehicle changed = vehicle;
        k.values(changed)[value.index] = checked;
        const std::size_t i = static_cast<std::size_t>(value.index);
        if (&k == &speed_key) check_speed(changed, i, true, where + ": ");
        if (&k == &angle_key) check_angle(changed, i, where + ": ");
    }
    k.values(vehicle)[value.index] = checked;
}

void apply_setting(const std::string& setting, Vehicle& vehicle) {
    apply_setting(setting, vehicle, "--set " + printable(setting));
}

void apply_setting(const std::string& setting, Vehicle& vehicle, const std::string& where) {
    const std::size_t equals = setting.find('=');
    if (equals == std::string::npos) {
        throw VehicleError(where + ": expected KEY=VALUE or KEY[INDEX]=VALUE");
    }
    const std::string name = setting.substr(0, equals), text = setting.substr(equals + 1);
    const VehicleValue value = find_value(name, where);
    const bool element = name.find('[') != std::string::npos;
    // A setting is one value: a line break would let TOML read further keys after it.
    if (text.find_first_of("\n\r") != std::string::npos) {
        throw VehicleError(where + ": " + name + ": expected one value on one line, not '" + printable(text) + "'");
    }
    toml::table parsed;
    try {
        parsed = parse("value = " + text, where);
    } catch (const VehicleError&) {
        throw VehicleError(where + ": " + name + ": '" + printable(text) +
                           "' is not a value (a number, or an array [a, b, ...])");
    }
    const toml::node& node = *parsed.get("value");
    if (!element) {
        const Key& k = keys[value.key];
        if (k.form == Form::table) check_form(k, vehicle, where + ": ");
        Vehicle changed = vehicle;
        assign(k, node, where, false, changed);
        vehicle = changed;
    } else {
        set_value(value, real_value(node, keys[value.key], value.index, where + ": "), vehicle, where);
    }
}

std::vector<VehicleKey> vehicle_keys() {
    std::vector<VehicleKey> all;
    for (const Key& k : keys) all.push_back({k.name, k.length, k.what});
    return all;
}

bool has_key(const Vehicle& vehicle, const std::string& key) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    return has(*k, vehicle);
}

std::vector<double> key_values(const Vehicle& vehicle, const std::string& key) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    if (k->values == nullptr) return {static_cast<double>(vehicle.rotors)};
    if (!has(*k, vehicle)) return {};
    Vehicle v = vehicle;
    const double* values = k->values(v);
    return std::vector<double>(values, values + length_of(*k, v));
}

void assign_key(const std::string& key, const std::vector<double>& values, Vehicle& vehicle) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    // The values as the file's nodes, so that the file's checks and messages apply: a whole
    // number as an integer (the rotor count must be one), any other as a real.
    auto node = [](double x) -> std::unique_ptr<toml::node> {
        if (x == std::floor(x) && std::fabs(x) < 9007199254740992.0)
            return std::make_unique<toml::value<std::int64_t>>(static_cast<std::int64_t>(x));
        return std::make_unique<toml::value<double>>(x);
    };
    if (k->form == Form::table) check_form(*k, vehicle, "");
    Vehicle changed = vehicle;
    if (k->length == 1 && values.size() == 1) {
        const std::unique_ptr<toml::node> scalar = k->values == nullptr ? node(values[0])
                                                                        : std::make_unique<toml::value<double>>(values[0]);
        assign(*k, *scalar, "", false, changed);
    } else if (k->length == 1) {
        throw VehicleError(std::string(k->name) + ": expected a number, not " + std::to_string(values.size()) +
                           " of them");
    } else {
        toml::array array;
        for (double x : values) array.push_back(x);
        assign(*k, array, "", false, changed);
    }
    vehicle = changed;
}

void assign_table(const std::vector<double>& speeds, const std::vector<double>& angles, Vehicle& vehicle,
                  const std::string& where) {
    toml::array s, a;
    for (double x : speeds) s.push_back(x);
    for (double x : angles) a.push_back(x);
    assign_table(s, a, where, false, vehicle);
}

void assign_count(const std::string& key, const std::string& integer, Vehicle& vehicle) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    if (k->values != nullptr) throw VehicleError(key + ": not a whole number of anything");
    const std::size_t digits = integer.compare(0, 1, "-") == 0 ? 1 : 0;
    if (integer.size() == digits || integer.find_first_not_of("0123456789", digits) != std::string::npos) {
        bad_count("", *k, "'" + printable(integer) + "'");
    }
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(integer.data(), integer.data() + integer.size(), count);
    // Beyond any 64-bit integer is still a whole number, out of range.
    if (error != std::errc() || end != integer.data() + integer.size()) bad_count("", *k, integer);
    Vehicle changed = vehicle;
    assign(*k, toml::value<std::int64_t>(count), "", false, changed);
    vehicle = changed;
}

std::string vehicle_file_text(const Vehicle& vehicle) {
    // The fewest significant digits that read back as the same double.
    // The shortest text that reads back as the same double, in no locale: in plain decimals
    // while that takes at most 24 characters ("30", "0.0004", "0.30000000000000004"), else
    // with an exponent ("1e-50"). Negative zero is written "-0.0": TOML reads "-0" as the
    // integer 0, which loses the sign.
    auto shortest = [](double x) {
        if (x == 0.0 && std::signbit(x)) return std::string("-0.0");
        char text[400];
        const char* end = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed).ptr;
        if (end - text > 24) end = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr;
        return std::string(static_cast<const char*>(text), end);
    };
    Vehicle v = vehicle;
    std::string text;
    for (const Key& k : keys) {
        if (!has(k, v)) continue;
        std::string value;
        if (k.values == nullptr) {
            value = std::to_string(v.rotors);
        } else if (k.length == 1) {
            value = shortest(*k.values(v));
        } else {
            for (int i = 0; i < length_of(k, v); ++i) value += (i ? ", " : "[") + shortest(k.values(v)[i]);
            value += "]";
        }
        text += std::string(k.name) + " = " + value + "  # " + k.what + "\n";
    }
    return text;
}
