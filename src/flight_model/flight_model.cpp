#include "flight_model/flight_model.h"

#include <cmath>
#include <cstdio>

const double rho = 1.225;
const double S = 1.2;
const double m = 25.0;
const double g = 9.81;
const double d = 0.4826;  // 19 in
const double aa = 0.000006;
const double bb = 0.000159;
const double cc = 0.0004;
const double dd = -0.040786;
// Least-squares quadratic through the propeller's 40, 30, 25 and 22 N at 0, 11, 22, 33 m/s.
const double VTT[3] = {39.85, -1.0136, 0.0145};

const double Q = m * g;
// Four discs of pi d^2 / 4 each; 0.7853981633974483 is pi/4 in double precision.
const double A = 4.0 * ((d * 0.7853981633974483) * d);

double vel = 0.0;
double qq = 0.0;
double alphaj = 0.0;
double Cx = 0.0;
double Cz = 0.0;
double drag = 0.0;
double lift = 0.0;
double thrust = 0.0;
double force = 0.0;
double acc = 0.0;
double power = 0.0;

void FFFF(double* dydt, double* state, int /*n*/, double /*t*/) {
    vel = state[0];
    // Dynamic pressure 1/2 rho v^2.
    qq = ((rho * 0.5) * vel) * vel;
    // Angle of attack scheduled as a cubic in speed: -2.34 deg at rest, 9.3 deg at 25 m/s.
    alphaj = dd + (((aa * vel * vel * vel) + (bb * vel * vel)) + cc * vel);
    // Wing drag polar and lift curve.
    Cx = ((alphaj * 1.0792 * alphaj) + 0.2131 * alphaj) + 0.0431;
    Cz = alphaj * 6.1069 + 0.5776;
    drag = Cx * (qq * S);
    lift = Cz * (qq * S);
    // Propeller thrust along the body axis, falling with speed.
    const double F = (VTT[0] + vel * VTT[1]) + VTT[2] * vel * vel;
    // The lift rotors make up what wing lift and tilted propeller thrust leave missing
    // from the weight: thrust cos(alpha) + F sin(alpha) + lift = Q. They never push down;
    // a surplus is ignored, the model having no vertical motion.
    thrust = ((Q - lift) - std::sin(alphaj) * F) / std::cos(alphaj);
    if (thrust < 0.0) {
        thrust = 0.0;
    }
    // Net force along the path and Newton's second law.
    force = (-drag - thrust * std::sin(alphaj)) + std::cos(alphaj) * F;
    acc = force / m;
    // Ideal induced power from momentum theory, T^1.5 / sqrt(2 rho A).
    power = std::pow(thrust, 1.5) / std::sqrt(A * (rho + rho));

    std::printf("alpha %f Cx %f Cz %f\n", degrees(alphaj), Cx, Cz);
    std::printf("vel %f thrust %f drag %f lift %f \n", vel, thrust, drag, lift);

    dydt[0] = acc;
    dydt[1] = state[0];
    dydt[2] = power;
}
