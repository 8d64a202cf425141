// Stand-in flight model for testing the run driver: a constant acceleration ACCELERATION
// (m/s^2), a wing that carries exactly the weight, lift == Q, once the evaluated speed
// reaches LIFT_SPEED (m/s) and nothing below it, and no evaluation lines. Each build sets
// the two so that one stop condition ends the run.
#include "flight_model/flight_model.h"

const double Q = 245.25;
double lift = 0.0;
double alphaj = 0.0;

void FFFF(double* dydt, double* state, int /*n*/, double /*t*/) {
    alphaj = 0.01 * state[0];
    lift = state[0] >= LIFT_SPEED ? Q : 0.0;
    dydt[0] = ACCELERATION;
    dydt[1] = state[0];
    dydt[2] = 1.0;
}
