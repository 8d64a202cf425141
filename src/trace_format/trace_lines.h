#pragma once

#include <cstdio>

#include "flight_model/vehicle_model.h"

// The four kinds of line in a transition trace, as the standard formatted print writes
// them: every value "%f" (six decimals), angles in degrees, the rest in SI units.
//   coefficient line  one per model evaluation: angle of attack, drag and lift coefficients
//   force line        one per model evaluation, after its coefficient line: speed, lift-rotor
//                     thrust, wing drag, wing lift; it ends with a space before the line feed
//   step line         one per integration step: start time of the step, the fourth
//                     evaluation's acceleration, the end-of-step state, weight, the fourth
//                     evaluation's lift
//   summary line      once, after the last step and an empty line: angle of attack of the
//                     last evaluation, final speed, distance and energy
// Readers of a trace take the line forms from these same strings.
inline constexpr char coefficient_line[] = "alpha %f Cx %f Cz %f\n";
inline constexpr char force_line[] = "vel %f thrust %f drag %f lift %f \n";
inline constexpr char step_line[] = "t %f a %f v %f x %f w %f Q %f lift %f\n";
inline constexpr char summary_line[] = "\n alpha %f v %f x %f w %f\n";

// Angle in degrees, as every printed line shows it; 3.141592653589793 is pi in double precision.
inline double degrees(double radians) { return (180.0 * radians) / 3.141592653589793; }

// Each prints its line to standard output; a failed write shows in stdout's error flag.
inline void print_evaluation_lines(const Evaluation& e) {
    std::printf(coefficient_line, degrees(e.alphaj), e.Cx, e.Cz);
    std::printf(force_line, e.vel, e.thrust, e.drag, e.lift);
}
inline void print_step_line(double t, double a, const double* y, double Q, double lift) {
    std::printf(step_line, t, a, y[0], y[1], y[2], Q, lift);
}
inline void print_summary_line(double alphaj, const double* y) {
    std::printf(summary_line, degrees(alphaj), y[0], y[1], y[2]);
}
