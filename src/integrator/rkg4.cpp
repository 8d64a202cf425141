#include "integrator/rkg4.h"

#include <memory>
#include <new>

namespace {

// Gill's coefficients per stage. 0.292893219 and 1.707106781 are 1 - 1/sqrt(2) and
// 1 + 1/sqrt(2) cut to nine decimals, and 1/6, 1/3 enter as 0.1666666667 and 0.33333333:
// the trace is defined by these shortened literals, not by the exact values.
constexpr double a[4] = {0.5, 0.292893219, 1.707106781, 0.1666666667};  // weight of k
constexpr double b[4] = {0.5, 0.292893219, 1.707106781, 0.33333333};    // weight of q
constexpr double c[4] = {0.5, 0.292893219, 1.707106781, 0.5};           // q update
constexpr double tau[4] = {0.0, 0.5, 0.5, 1.0};  // stage time as a fraction of h

}  // namespace

void RKG4(DerivativeFunction f, const double* y0, double* dydt, double* y, int n, double h,
          double t) {
    // A negative length is refused as the array new-expression would refuse it; not every
    // compiler checks it there, and none may read or write the arrays first.
    if (n < 0) {
        throw std::bad_array_new_length();
    }
    // Gill's accumulator carries the rounding-compensating correction between stages.
    const std::unique_ptr<double[]> q(new double[n]());
    for (int i = 0; i < n; ++i) {
        y[i] = y0[i];
    }
    for (int j = 0; j < 4; ++j) {
        f(dydt, y, n, tau[j] * h + t);
        for (int i = 0; i < n; ++i) {
            const double k = dydt[i] * h;
            const double r = a[j] * k - b[j] * q[i];
            y[i] = y[i] + r;
            q[i] = (3.0 * r - c[j] * k) + q[i];
        }
    }
}
