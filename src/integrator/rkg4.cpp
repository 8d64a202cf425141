#include "integrator/rkg4.h"

#include <memory>
#include <new>

void RKG4(DerivativeFunction f, const double* y0, double* dydt, double* y, int n, double h,
          double t) {
    // A negative length is refused as the array new-expression would refuse it; not every
    // compiler checks it there, and none may read or write the arrays first.
    if (n < 0) {
        throw std::bad_array_new_length();
    }
    const std::unique_ptr<double[]> q(new double[n]);
    gill_step(f, y0, dydt, y, q.get(), n, h, t);
}
