#pragma once

// The transition physics of a small vertical take-off aircraft, for any vehicle: the
// formulas of one model evaluation, each stated once and evaluated in exactly the grouping
// shown, so that the built-in aircraft gives the same doubles here as in the program's
// trace. SI units throughout (kg, m, s, N, W, J); angles in radians.
//   state      = (v speed m/s, x distance m, w energy drawn by the lift rotors J)
//   derivative = (acceleration m/s^2, v m/s, lift-rotor induced power W)

#include <cmath>

// A vehicle's parameters. Polynomials are in ascending powers.
struct Vehicle {
    double rho;                  // air density, kg/m^3
    double g;                    // gravitational acceleration, m/s^2
    double m;                    // mass, kg
    double S;                    // wing reference area, m^2
    int rotors;                  // number of lift rotors, >= 1
    double d;                    // diameter of one lift rotor, m
    double alpha_schedule[4];    // angle of attack in speed, rad: c0 + c1 v + c2 v^2 + c3 v^3
    double propeller[3];         // propeller thrust in speed, N: c0 + c1 v + c2 v^2
    double lift_curve[2];        // lift coefficient in angle of attack: c0 + c1 alpha
    double drag_polar[3];        // drag coefficient in angle of attack: c0 + c1 alpha + c2 alpha^2
};

// Weight, N.
inline double weight(const Vehicle& p) { return p.m * p.g; }

// Total disc area of the lift rotors, m^2: pi d^2 / 4 each, 0.7853981633974483 being pi/4
// in double precision.
inline double disc_area(const Vehicle& p) {
    return static_cast<double>(p.rotors) * ((p.d * 0.7853981633974483) * p.d);
}

// Dynamic pressure 1/2 rho v^2, Pa.
inline double dynamic_pressure(const Vehicle& p, double vel) { return ((p.rho * 0.5) * vel) * vel; }

// Angle of attack scheduled as a cubic in speed, rad.
inline double angle_of_attack(const Vehicle& p, double vel) {
    const double* c = p.alpha_schedule;
    return c[0] + (((c[3] * vel * vel * vel) + (c[2] * vel * vel)) + c[1] * vel);
}

// The largest angle the schedule gives at any speed between 0 and `speed`, rad: the cubic at
// both ends and at its turning points between them, so that it moves smoothly with the
// schedule and the speed.
inline double peak_angle_of_attack(const Vehicle& p, double speed) {
    const double lo = speed < 0.0 ? speed : 0.0, hi = speed < 0.0 ? 0.0 : speed;
    double peak = std::fmax(angle_of_attack(p, lo), angle_of_attack(p, hi));
    // Turning points: roots of c1 + 2 c2 v + 3 c3 v^2, in the form that loses no digits.
    const double* c = p.alpha_schedule;
    const double a = 3.0 * c[3], b = 2.0 * c[2];
    double roots[2] = {lo, lo};
    if (a == 0.0) {
        if (b != 0.0) roots[0] = -c[1] / b;
    } else {
        const double discriminant = b * b - 4.0 * a * c[1];
        if (discriminant >= 0.0) {
            const double q = -(b + std::copysign(std::sqrt(discriminant), b)) / 2.0;
            roots[0] = q / a;
            if (q != 0.0) roots[1] = c[1] / q;
        }
    }
    for (double v : roots) {
        if (v > lo && v < hi) peak = std::fmax(peak, angle_of_attack(p, v));
    }
    return peak;
}

// Wing lift curve and drag polar.
inline double lift_coefficient(const Vehicle& p, double alpha) {
    return alpha * p.lift_curve[1] + p.lift_curve[0];
}
inline double drag_coefficient(const Vehicle& p, double alpha) {
    return ((alpha * p.drag_polar[2] * alpha) + p.drag_polar[1] * alpha) + p.drag_polar[0];
}

// A wing force, N, from its coefficient and the dynamic pressure.
inline double wing_force(const Vehicle& p, double coefficient, double qq) { return coefficient * (qq * p.S); }

// Wing lift at speed vel, N: with the schedule, lift is a function of speed alone.
inline double wing_lift(const Vehicle& p, double vel) {
    return wing_force(p, lift_coefficient(p, angle_of_attack(p, vel)), dynamic_pressure(p, vel));
}

// Propeller thrust along the body axis, N.
inline double propeller_thrust(const Vehicle& p, double vel) {
    return (p.propeller[0] + vel * p.propeller[1]) + p.propeller[2] * vel * vel;
}

// Every quantity of one model evaluation.
struct Evaluation {
    double vel;     // speed evaluated, m/s
    double qq;      // dynamic pressure, Pa
    double alphaj;  // scheduled angle of attack, rad
    double Cx;      // drag coefficient
    double Cz;      // lift coefficient
    double drag;    // wing drag, N
    double lift;    // wing lift, N
    double F;       // propeller thrust, N
    double thrust;  // total lift-rotor thrust, N, never negative
    double force;   // net force along the path, N
    double acc;     // acceleration along the path, m/s^2
    double power;   // ideal induced power of the lift rotors, W
};

// What a vehicle's evaluations share, derived once per vehicle.
struct Derived {
    double Q;     // weight, N
    double A;     // total disc area of the lift rotors, m^2
    double root;  // sqrt(2 rho A), written sqrt(A (rho + rho)): induced power's denominator
};
inline Derived derive(const Vehicle& p) {
    const double A = disc_area(p);
    return {weight(p), A, std::sqrt(A * (p.rho + p.rho))};
}

// One evaluation of vehicle p, with k = derive(p), at speed vel. Fills every field of e.
inline void evaluate(const Vehicle& p, const Derived& k, double vel, Evaluation& e) {
    e.vel = vel;
    e.qq = dynamic_pressure(p, vel);
    e.alphaj = angle_of_attack(p, vel);
    e.Cx = drag_coefficient(p, e.alphaj);
    e.Cz = lift_coefficient(p, e.alphaj);
    e.drag = wing_force(p, e.Cx, e.qq);
    e.lift = wing_force(p, e.Cz, e.qq);
    e.F = propeller_thrust(p, vel);
    // The lift rotors make up what wing lift and tilted propeller thrust leave missing
    // from the weight: thrust cos(alpha) + F sin(alpha) + lift = Q. They never push down;
    // a surplus is ignored, the model having no vertical motion.
    e.thrust = ((k.Q - e.lift) - std::sin(e.alphaj) * e.F) / std::cos(e.alphaj);
    if (e.thrust < 0.0) {
        e.thrust = 0.0;
    }
    // Net force along the path and Newton's second law.
    e.force = (-e.drag - e.thrust * std::sin(e.alphaj)) + std::cos(e.alphaj) * e.F;
    e.acc = e.force / p.m;
    // Ideal induced power from momentum theory, T^1.5 / sqrt(2 rho A).
    e.power = std::pow(e.thrust, 1.5) / k.root;
}

// Whether an evaluation lies in the range in which the model means anything: the
// scheduled angle within +-90 deg (the vertical balance divides by its cosine), the
// propeller pulling forwards, and every value finite (each one enters lift, acceleration
// or power, and x * 0 is 0 only for a finite x).
inline bool in_range(const Evaluation& e) {
    return std::fabs(e.alphaj) < 1.5707963267948966 && e.F >= 0.0 &&
           std::isfinite(e.lift * 0.0 + e.acc * 0.0 + e.power * 0.0);
}

// For an evaluation out of that range, the first quantity out of it, and its value.
struct OutOfRange {
    const char* quantity;
    double value;
};
inline OutOfRange out_of_range(const Evaluation& e) {
    if (!(std::fabs(e.alphaj) < 1.5707963267948966)) return {"angle of attack", e.alphaj};
    if (!(e.F >= 0.0)) return {"propeller thrust", e.F};
    const double all[] = {e.vel, e.qq, e.Cx, e.Cz, e.drag, e.lift, e.thrust, e.force, e.acc, e.power};
    const char* const names[] = {"speed", "dynamic pressure", "drag coefficient", "lift coefficient",
                                 "wing drag", "wing lift", "lift-rotor thrust", "net force",
                                 "acceleration", "induced power"};
    int i = 0;
    while (i < 9 && std::isfinite(all[i])) ++i;
    return {names[i], all[i]};
}
