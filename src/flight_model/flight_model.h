#pragma once

// The built-in aircraft and the program's derivative function over it: the physics of
// vehicle_model.h with this aircraft's constants, every quantity of the latest evaluation
// kept in a named variable, and the two trace lines of each evaluation.

#include "flight_model/vehicle_model.h"

// Vehicle parameters.
extern const double rho;     // air density, kg/m^3
extern const double S;       // wing reference area, m^2
extern const double m;       // vehicle mass, kg
extern const double g;       // gravitational acceleration, m/s^2
extern const double d;       // diameter of one lift rotor, m
extern const double aa;      // angle-of-attack schedule alpha(v): coefficient of v^3
extern const double bb;      //   coefficient of v^2
extern const double cc;      //   coefficient of v
extern const double dd;      //   constant term, rad
extern const double VTT[3];  // propeller thrust in speed: constant N, linear, quadratic

// The same aircraft as one record, for code that serves any vehicle.
extern const Vehicle built_in_vehicle;

// Derived before main runs.
extern const double Q;  // weight, N
extern const double A;  // total disc area of the four lift rotors, m^2

// Every quantity of the latest FFFF evaluation; zero before the first. Within an
// integration step these describe the last stage evaluated, not the state at its end.
extern double vel;     // speed evaluated, m/s
extern double qq;      // dynamic pressure, Pa
extern double alphaj;  // scheduled angle of attack, rad
extern double Cx;      // drag coefficient
extern double Cz;      // lift coefficient
extern double drag;    // wing drag, N
extern double lift;    // wing lift, N
extern double thrust;  // total lift-rotor thrust, N, never negative
extern double force;   // net force along the path, N
extern double acc;     // acceleration along the path, m/s^2
extern double power;   // ideal induced power of the lift rotors, W

// Derivative function for the integrator: reads state[0], fills dydt[0..3), overwrites
// the evaluation variables and prints the coefficient line and the force line to stdout.
// dydt must hold three doubles; n and t are unused (the model is autonomous). Not reentrant.
void FFFF(double* dydt, double* state, int n, double t);
