#pragma once

// Right-hand side of dy/dt = f(y, t): fills dydt[0..n) from y[0..n) at time t.
// Arguments in order: derivatives to fill, state to read, component count n, time.
using DerivativeFunction = void (*)(double* dydt, double* y, int n, double t);

// Gill's coefficients per stage. 0.292893219 and 1.707106781 are 1 - 1/sqrt(2) and
// 1 + 1/sqrt(2) cut to nine decimals, and 1/6, 1/3 enter as 0.1666666667 and 0.33333333:
// the trace is defined by these shortened literals, not by the exact values.
namespace gill {
constexpr double a[4] = {0.5, 0.292893219, 1.707106781, 0.1666666667};  // weight of k
constexpr double b[4] = {0.5, 0.292893219, 1.707106781, 0.33333333};    // weight of q
constexpr double c[4] = {0.5, 0.292893219, 1.707106781, 0.5};           // q update
constexpr double tau[4] = {0.0, 0.5, 0.5, 1.0};  // stage time as a fraction of h
}  // namespace gill

// One fourth-order Runge-Kutta-Gill step of size h from t, for any callable f with
// RKG4's derivative-function arguments; q is scratch for Gill's accumulator (n values,
// set to zero here). Otherwise exactly RKG4 below, whose arithmetic this is. The state may
// be of any number type T with T * H, double * T and + - on T (a dual number, for the
// derivatives of a step); the step size of type H, double or a dual number in h itself.
template <class Derivative, class T, class H>
void gill_step(Derivative&& f, const T* y0, T* dydt, T* y, T* q, int n, const H& h, double t) {
    for (int i = 0; i < n; ++i) {
        q[i] = T(0.0);
        y[i] = y0[i];
    }
    for (int j = 0; j < 4; ++j) {
        f(dydt, y, n, gill::tau[j] * h + t);
        for (int i = 0; i < n; ++i) {
            const T k = dydt[i] * h;
            const T r = gill::a[j] * k - gill::b[j] * q[i];
            y[i] = y[i] + r;
            // The accumulator carries the rounding-compensating correction between stages.
            q[i] = (3.0 * r - gill::c[j] * k) + q[i];
        }
    }
}

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
