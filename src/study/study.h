#pragma once

// The transition run for any vehicle: the program's own time loop (0.05 s Runge-Kutta-Gill
// steps, stop test, step cap), what it ends with, and the moment its stop condition really
// holds on the integrated solution. Nothing here keeps state between calls: designs may
// be studied on several threads at once.

#include <cstddef>
#include <string>
#include <vector>

#include "flight_model/vehicle_model.h"

enum class Stop { lift, speed, cap, invalid };

// Where the model first left its range during a run (see out_of_range).
struct Invalid {
    const char* quantity;  // its name
    double value;          // its value there (the angle in rad)
    double t;              // time of the evaluation, s
    int step;              // the step it belongs to, from 1
};

// How a run ends, in any number type T of the model's formulas (see study_run.h); a
// StudyResult is the run on doubles.
template <class T>
struct StudyResultOf {
    Stop stop;
    int steps;        // steps taken
    double t;         // time at the end of the last step, s (by repeated addition, as the run)
    T y[3];           // state there: v m/s, x m, w J
    T alphaj;         // angle of attack of the last evaluation, rad
    bool located;     // whether `event` holds the moment the stop condition holds
    T event_t;        // that moment, s, and the state there, one the integrator produced
    T event_y[3];
    T peak_thrust;    // largest lift-rotor thrust of the run's evaluations, N
    T peak_power;     // largest induced power of the run's evaluations, W
    T peak_alpha;     // largest scheduled angle of attack from rest to the located moment's
                      // speed (to the final speed when not located), rad
    T peak_pitch_rate;    // largest |d alpha / d t| = |d alpha / d v acceleration| of the
                          // run's evaluations, rad/s
    T peak_acceleration;  // largest |acceleration| of the run's evaluations, m/s^2
    Invalid invalid;  // for Stop::invalid on doubles: where the model left its range
};
using StudyResult = StudyResultOf<double>;

// Runs vehicle p from rest. With `trace`, prints the run's trace to standard output as the
// program prints its own; a run that leaves the model's range stops at the end of the
// step where it did (its trace is then not a whole one).
StudyResult study_vehicle(const Vehicle& p, bool trace = false);

// The run of vehicle p with a step cap of `most_steps` steps instead of the run's own: how a
// design that reaches the cap would go on. Not a run's result.
StudyResult study_vehicle_beyond(const Vehicle& p, int most_steps);

// One step of a run as its step line gives it, at full precision: t the start of the step
// (s), a the acceleration (m/s^2) and lift the wing lift (N) of its fourth evaluation, and
// the state at its end (v m/s, x m, w J).
struct StepFigures {
    double t, a, v, x, w, lift;
};

// Runs vehicle p as study_vehicle does, keeping every step's figures in `steps` (cleared
// first): those of the whole run, or up to the step that left the model's range.
StudyResult study_vehicle_steps(const Vehicle& p, std::vector<StepFigures>& steps);

// The columns of a study's row, in order: stop, steps, t, v, x, w, alpha (deg), event_t,
// event_v, event_x, event_w, peak_thrust, peak_power, peak_alpha (rad), peak_pitch_rate
// (rad/s), peak_acceleration (m/s^2); and the header, those names joined by commas.
constexpr std::size_t study_column_count = 16;
extern const char* const study_columns[study_column_count];
extern const char* const study_header;

// The figures that move smoothly with the design, in the row's order: those at the located
// moment, the peaks and the peak angle. The step-end figures jump by up to a step when a
// change of the design moves the stopping step.
constexpr std::size_t smooth_count = 9;
extern const char* const smooth_columns[smooth_count];

// Smooth figure i of a result in any number type: false where the row's field is empty
// (every figure of an invalid result, the moment's when it is not located).
template <class T>
bool smooth_figure(const StudyResultOf<T>& r, std::size_t i, T& value) {
    if (r.stop == Stop::invalid || (i < 4 && !r.located)) return false;
    const T* const figures[smooth_count] = {&r.event_t,      &r.event_y[0],   &r.event_y[1],
                                            &r.event_y[2],   &r.peak_thrust,  &r.peak_power,
                                            &r.peak_alpha,   &r.peak_pitch_rate, &r.peak_acceleration};
    value = *figures[i];
    return true;
}

// The row's column named `name`, or study_column_count for none.
std::size_t study_column(const std::string& name);

// "lift", "speed", "cap" or "invalid".
const char* stop_name(Stop stop);

// The figure of `column` (from 1; column 0, the stop, is a name): false where the row's
// field is empty (every one of an invalid result's, the event columns when not located).
// The step count comes as a double.
bool study_figure(const StudyResult& r, std::size_t column, double& value);

// One row of a result's columns: the stop's name, the step count, every real "%.17g".
std::string study_row(const StudyResult& r);

// Appends x as "%.17g" writes it, digits enough to read back as the same double.
void append_real(std::string& text, double x);

// One line on what left the range and when, e.g.
// "propeller thrust -0.5 N is negative at t = 12.35 s (step 248)".
std::string describe(const Invalid& bad);
