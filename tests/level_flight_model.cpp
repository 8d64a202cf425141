// Stand-in flight model for testing the run driver: a vehicle whose wing never lifts and
// which accelerates too gently to pass 25 m/s within 800 steps, so only the step cap ends
// the run. It prints no evaluation lines.
#include "flight_model/flight_model.h"

const double Q = 245.25;
double lift = 0.0;
double alphaj = 0.0;

void FFFF(double* dydt, double* state, int /*n*/, double /*t*/) {
    alphaj = 0.01 * state[0];
    dydt[0] = 0.5;
    dydt[1] = state[0];
    dydt[2] = 1.0;
}
