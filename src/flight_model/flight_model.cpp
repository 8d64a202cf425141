#include "flight_model/flight_model.h"

#include <cstdio>

#include "trace_format/trace_lines.h"

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

const Vehicle built_in_vehicle = {rho, g, m, S, 4, d, {false, {dd, cc, bb, aa}, {}, {}}, {VTT[0], VTT[1], VTT[2]},
                                  {0.5776, 6.1069}, {0.0431, 0.2131, 1.0792}};

namespace {
const Derived built_in_derived = derive(built_in_vehicle);
}
const double Q = built_in_derived.Q;
const double A = built_in_derived.A;

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
    Evaluation e;
    evaluate(built_in_vehicle, built_in_derived, state[0], e);
    vel = e.vel;
    qq = e.qq;
    alphaj = e.alphaj;
    Cx = e.Cx;
    Cz = e.Cz;
    drag = e.drag;
    lift = e.lift;
    thrust = e.thrust;
    force = e.force;
    acc = e.acc;
    power = e.power;

    print_evaluation_lines(e);

    dydt[0] = acc;
    dydt[1] = state[0];
    dydt[2] = power;
}
