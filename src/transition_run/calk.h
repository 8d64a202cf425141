#pragma once

// Runs the transition from rest with 0.05 s Runge-Kutta-Gill steps of the flight model,
// printing each model evaluation's two lines and then one step line per step:
//   "t <start of step, s> a <acceleration m/s^2> v <m/s> x <m> w <J> Q <N> lift <N>"
// where v, x, w are the state at the end of the step, and a and lift come from the
// step's fourth evaluation. Stops after the first step whose speed exceeds 25 m/s, whose
// lift reaches the weight Q, or which is the 800th. Writes the final (v, x, w) to
// result[0..3).
void calk(double* result);
