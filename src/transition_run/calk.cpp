#include "transition_run/calk.h"

#include "flight_model/flight_model.h"
#include "integrator/rkg4.h"
#include "trace_format/trace_lines.h"

void calk(double* result) {
    double t = 0.0;
    const double h = run_step;
    double start[3] = {0.0, 0.0, 0.0};
    double end[3];
    double dydt[3];
    for (int i = 0;; ++i) {
        RKG4(FFFF, start, dydt, end, 3, h, t);
        print_step_line(t, dydt[0], end, Q, lift);
        if (run_stops(end[0], lift, Q, i, run_step_cap)) {
            break;
        }
        // Time advances by repeated addition, so it drifts from i * h by rounding.
        t = t + h;
        for (int k = 0; k < 3; ++k) {
            start[k] = end[k];
        }
    }
    for (int k = 0; k < 3; ++k) {
        result[k] = end[k];
    }
}
