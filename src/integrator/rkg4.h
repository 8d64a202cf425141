#pragma once

// Right-hand side of dy/dt = f(y, t): fills dydt[0..n) from y[0..n) at time t.
// Arguments in order: derivatives to fill, state to read, component count n, time.
using DerivativeFunction = void (*)(double* dydt, double* y, int n, double t);

// Advances y' = f(y, t) by one fourth-order Runge-Kutta-Gill step of size h from t.
//   y0    state at t, n components, only read
//   dydt  n components owned by the caller; f fills it at each of the four stages, and on
//         return it holds the fourth stage's derivatives (state after three stages, t + h)
//   y     n components owned by the caller; receives the state at t + h
// dydt must not overlap y: f writes the one while reading the other. f is called exactly
// four times, at t, t + h/2, t + h/2 and t + h, even when n is 0. A negative n is a caller
// error and throws std::bad_array_new_length before f is called or any array is touched.
// Allocates and releases n doubles per call; keeps no state between calls.
void RKG4(DerivativeFunction f, const double* y0, double* dydt, double* y, int n, double h,
          double t);
