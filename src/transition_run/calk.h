#pragma once

// Runs the transition from rest with 0.05 s Runge-Kutta-Gill steps of the flight model,
// printing each model evaluation's two lines and then one step line per step:
//   "t <start of step, s> a <acceleration m/s^2> v <m/s> x <m> w <J> Q <N> lift <N>"
// where v, x, w are the state at the end of the step, and a and lift come from the
// step's fourth evaluation. Stops after the first step for which run_stops holds, at
// most 800 steps. Writes the final (v, x, w) to result[0..3).
void calk(double* result);

// The run's time step, s, and the most steps it takes.
constexpr double run_step = 0.05;
constexpr int run_step_cap = 800;

// Why a run stops after a step, if it does.
enum class StopReason { none, speed, lift, cap };

// The run's stop test after step i (from 0) of at most `steps` steps, its reasons taken in
// this order: the end-of-step speed v has passed 25 m/s (strictly), the step's wing lift
// has reached the weight (not strictly), or this is the last step allowed.
inline StopReason run_stop_reason(double v, double lift, double weight, int i, int steps) {
    if (v > 25.0) return StopReason::speed;
    if (lift >= weight) return StopReason::lift;
    if (i == steps - 1) return StopReason::cap;
    return StopReason::none;
}
inline bool run_stops(double v, double lift, double weight, int i, int steps) {
    return run_stop_reason(v, lift, weight, i, steps) != StopReason::none;
}
