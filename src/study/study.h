#pragma once

// The transition run for any vehicle: the program's own time loop (0.05 s Runge-Kutta-Gill
// steps, stop test, step cap), what it ends with, and the moment its stop condition really
// holds on the integrated solution. Nothing here keeps state between calls: designs may
// be studied on several threads at once.

#include <string>

#include "flight_model/vehicle_model.h"

enum class Stop { lift, speed, cap, invalid };

// Where the model first left its range during a run (see out_of_range).
struct Invalid {
    const char* quantity;  // its name
    double value;          // its value there (the angle in rad)
    double t;              // time of the evaluation, s
    int step;              // the step it belongs to, from 1
};

struct StudyResult {
    Stop stop;
    int steps;        // steps taken
    double t;         // time at the end of the last step, s (by repeated addition, as the run)
    double y[3];      // state there: v m/s, x m, w J
    double alphaj;    // angle of attack of the last evaluation, rad
    bool located;     // whether `event` holds the moment the stop condition holds
    double event_t;   // that moment, s, and the state there, one the integrator produced
    double event_y[3];
    double peak_thrust;  // largest lift-rotor thrust of the run's evaluations, N
    double peak_power;   // largest induced power of the run's evaluations, W
    Invalid invalid;     // for Stop::invalid: where the model left its range
};

// Runs vehicle p from rest. With `trace`, prints the run's trace to standard output as the
// program prints its own; a run that leaves the model's range stops at the end of the
// step where it did (its trace is then not a whole one).
StudyResult study_vehicle(const Vehicle& p, bool trace = false);

// "stop,steps,t,...": the columns of a result, and one row of them (every real "%.17g";
// the event columns empty when not located). An invalid result's row holds its stop only.
extern const char* const study_header;
std::string study_row(const StudyResult& r);

// Appends x as "%.17g" writes it, digits enough to read back as the same double.
void append_real(std::string& text, double x);

// One line on what left the range and when, e.g.
// "propeller thrust -0.5 N is negative at t = 12.35 s (step 248)".
std::string describe(const Invalid& bad);
