#pragma once

// The transition physics of a small vertical take-off aircraft, for any vehicle: the
// formulas of one model evaluation, each stated once and evaluated in exactly the grouping
// shown, so that the built-in aircraft gives the same doubles here as in the program's
// trace. SI units throughout (kg, m, s, N, W, J); angles in radians.
//   state      = (v speed m/s, x distance m, w energy drawn by the lift rotors J)
//   derivative = (acceleration m/s^2, v m/s, lift-rotor induced power W)
// Every formula is written for any number type T: double for a run, a dual number carrying
// partial derivatives for the derivatives of a run (derivatives/dual.h). T provides + - * /,
// comparisons and sin, cos, pow, sqrt (found by argument-dependent lookup), and
// value_of(x), the double that x carries; a T built from a double is a constant. Every
// result is stored in a T before it is used again (an expression of a dual number is one
// only once stored).

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

inline double value_of(double x) { return x; }

// The larger of a and b as std::fmax gives it, for any T: the operand whose value fmax
// returns, so that a dual number keeps the derivative of the branch taken.
inline double larger(double a, double b) { return std::fmax(a, b); }
template <class T>
T larger(const T& a, const T& b) {
    const double pick = std::fmax(value_of(a), value_of(b)), of_a = value_of(a);
    return std::memcmp(&pick, &of_a, sizeof pick) == 0 ? a : b;
}

// |x|, as std::fabs gives it; for any T, the derivative of the branch taken.
inline double magnitude(double x) { return std::fabs(x); }
template <class T>
T magnitude(const T& x) {
    return value_of(x) < 0.0 ? T(-x) : x;
}

// sin x and cos x.
inline void sine_and_cosine(double x, double& sine, double& cosine) {
    sine = std::sin(x);
    cosine = std::cos(x);
}

// x with the sign of y, as std::copysign gives it.
inline double with_sign_of(double x, double y) { return std::copysign(x, y); }
template <class T>
T with_sign_of(const T& x, const T& y) {
    return std::signbit(value_of(x)) == std::signbit(value_of(y)) ? x : T(-x);
}

// The angle-of-attack schedule, rad, in speed, m/s: a cubic, or a table of knots between
// which the angle is linear in speed, held at its end values below the first knot and from
// the last on. Nothing but the functions below knows which it is.
template <class T>
struct ScheduleOf {
    bool table;              // a table of knots, else the cubic
    T cubic[4];              // c0 + c1 v + c2 v^2 + c3 v^3
    std::vector<T> speeds;   // the table's knots: 2 or more speeds, strictly increasing, from 0 up,
    std::vector<T> angles;   // and the angle at each
};

// A vehicle's parameters. Polynomials are in ascending powers.
template <class T>
struct VehicleOf {
    T rho;                   // air density, kg/m^3
    T g;                     // gravitational acceleration, m/s^2
    T m;                     // mass, kg
    T S;                     // wing reference area, m^2
    int rotors;              // number of lift rotors, >= 1
    T d;                     // diameter of one lift rotor, m
    ScheduleOf<T> schedule;  // angle of attack in speed, rad
    T propeller[3];          // propeller thrust in speed, N: c0 + c1 v + c2 v^2
    T lift_curve[2];         // lift coefficient in angle of attack: c0 + c1 alpha
    T drag_polar[3];         // drag coefficient in angle of attack: c0 + c1 alpha + c2 alpha^2
};
using Vehicle = VehicleOf<double>;

// Calls f(x, y) for each real value x of vehicle a and the same value y of vehicle b (of any
// number types), in the order a vehicle file gives them; the rotor count, a whole number, is
// not among them.
// b's schedule is made of a's form and number of knots first.
template <class A, class B, class F>
void each_real(A& a, B& b, F&& f) {
    f(a.rho, b.rho);
    f(a.g, b.g);
    f(a.m, b.m);
    f(a.S, b.S);
    f(a.d, b.d);
    if constexpr (!std::is_const_v<B>) {
        b.schedule.table = a.schedule.table;
        b.schedule.speeds.resize(a.schedule.speeds.size());
        b.schedule.angles.resize(a.schedule.angles.size());
    }
    if (!a.schedule.table) {
        for (int i = 0; i < 4; ++i) f(a.schedule.cubic[i], b.schedule.cubic[i]);
    } else {
        for (std::size_t i = 0; i < a.schedule.speeds.size(); ++i) f(a.schedule.speeds[i], b.schedule.speeds[i]);
        for (std::size_t i = 0; i < a.schedule.angles.size(); ++i) f(a.schedule.angles[i], b.schedule.angles[i]);
    }
    for (int i = 0; i < 3; ++i) f(a.propeller[i], b.propeller[i]);
    for (int i = 0; i < 2; ++i) f(a.lift_curve[i], b.lift_curve[i]);
    for (int i = 0; i < 3; ++i) f(a.drag_polar[i], b.drag_polar[i]);
}

// The doubles a vehicle of any number type carries.
template <class T>
Vehicle values_of(const VehicleOf<T>& p) {
    Vehicle v{};
    v.rotors = p.rotors;
    each_real(p, v, [](const T& x, double& y) { y = value_of(x); });
    return v;
}

// The lowest speed, m/s, from which the schedule's angle or slope depends on real value
// `real` of p (in each_real's order): a table's knot k, its speed or its angle, has a say only
// in the segment before it and from it on, so from knot k - 1's speed; the first knot, the
// cubic's coefficients and every other value, at every speed (minus infinity).
inline double schedule_reach(const Vehicle& p, std::size_t real) {
    double reach = -std::numeric_limits<double>::infinity();
    const ScheduleOf<double>& s = p.schedule;
    std::size_t index = 0;
    each_real(p, p, [&](const double& x, const double&) {
        if (index++ != real || !s.table) return;
        for (std::size_t k = 1; k < s.speeds.size(); ++k)
            if (&x == &s.speeds[k] || &x == &s.angles[k]) reach = s.speeds[k - 1];
    });
    return reach;
}

// Weight, N.
template <class T>
T weight(const VehicleOf<T>& p) {
    return p.m * p.g;
}

// Total disc area of the lift rotors, m^2: pi d^2 / 4 each, 0.7853981633974483 being pi/4
// in double precision.
template <class T>
T disc_area(const VehicleOf<T>& p) {
    return static_cast<double>(p.rotors) * ((p.d * 0.7853981633974483) * p.d);
}

// Dynamic pressure 1/2 rho v^2, Pa.
template <class T>
T dynamic_pressure(const VehicleOf<T>& p, const T& vel) {
    return ((p.rho * 0.5) * vel) * vel;
}

// The schedule's knot segment that holds speed v: k with speeds[k] <= v < speeds[k + 1]
// (a speed at a knot is the segment's beginning there); -1 below the first knot, and the
// last knot's index from it on.
template <class T>
long segment_of(const ScheduleOf<T>& s, const T& v) {
    const long last = static_cast<long>(s.speeds.size()) - 1;
    if (v < s.speeds[0]) return -1;
    if (!(v < s.speeds[static_cast<std::size_t>(last)])) return last;
    long lo = 0, hi = last;  // speeds[lo] <= v < speeds[hi]
    while (hi - lo > 1) {
        const long mid = lo + (hi - lo) / 2;
        (v < s.speeds[static_cast<std::size_t>(mid)] ? hi : lo) = mid;
    }
    return lo;
}

// The slope of segment k of a table, rad/(m/s): the change of angle over the change of speed.
template <class T>
T segment_slope(const ScheduleOf<T>& s, std::size_t k) {
    return (s.angles[k + 1] - s.angles[k]) / (s.speeds[k + 1] - s.speeds[k]);
}

// The scheduled angle of attack at speed vel, rad, and its slope d alpha / d v, rad/(m/s):
// the cubic and its derivative; for a table, the angle at the segment's first knot plus the
// speed beyond it times the segment's slope, the end values held (slope 0) outside the knots.
template <class T>
void scheduled(const ScheduleOf<T>& s, const T& vel, T& angle, T& slope) {
    if (!s.table) {
        const T* c = s.cubic;
        angle = c[0] + (((c[3] * vel * vel * vel) + (c[2] * vel * vel)) + c[1] * vel);
        slope = (c[1] + (2.0 * c[2]) * vel) + ((3.0 * c[3]) * vel) * vel;
        return;
    }
    const long k = segment_of(s, vel);
    if (k < 0 || k == static_cast<long>(s.speeds.size()) - 1) {
        angle = s.angles[k < 0 ? 0 : static_cast<std::size_t>(k)];
        slope = T(0.0);
        return;
    }
    const std::size_t i = static_cast<std::size_t>(k);
    slope = segment_slope(s, i);
    angle = s.angles[i] + (vel - s.speeds[i]) * slope;
}

// Angle of attack scheduled in speed, rad.
template <class T>
T angle_of_attack(const VehicleOf<T>& p, const T& vel) {
    T angle, slope;
    scheduled(p.schedule, vel, angle, slope);
    return angle;
}

// The largest angle the schedule gives at any speed between 0 and `speed`, rad, so that it
// moves smoothly with the schedule and the speed: the cubic at both ends and at its turning
// points between them; a table at both ends and at its knots between them.
template <class T>
T peak_angle_of_attack(const VehicleOf<T>& p, const T& speed) {
    using std::sqrt;
    const T zero(0.0);
    const T lo = speed < 0.0 ? speed : zero, hi = speed < 0.0 ? zero : speed;
    T peak = larger(angle_of_attack(p, lo), angle_of_attack(p, hi));
    const ScheduleOf<T>& s = p.schedule;
    if (s.table) {
        for (std::size_t k = 0; k < s.speeds.size(); ++k) {
            if (s.speeds[k] > lo && s.speeds[k] < hi) peak = larger(peak, s.angles[k]);
        }
        return peak;
    }
    // Turning points: roots of c1 + 2 c2 v + 3 c3 v^2, in the form that loses no digits.
    const T* c = s.cubic;
    const T a = 3.0 * c[3], b = 2.0 * c[2];
    T roots[2] = {lo, lo};
    if (a == 0.0) {
        if (b != 0.0) roots[0] = -c[1] / b;
    } else {
        const T discriminant = b * b - 4.0 * a * c[1];
        if (discriminant >= 0.0) {
            const T q = -(b + with_sign_of(sqrt(discriminant), b)) / 2.0;
            roots[0] = q / a;
            if (q != 0.0) roots[1] = c[1] / q;
        }
    }
    for (const T& v : roots) {
        if (v > lo && v < hi) peak = larger(peak, angle_of_attack(p, v));
    }
    return peak;
}

// Wing lift curve and drag polar.
template <class T>
T lift_coefficient(const VehicleOf<T>& p, const T& alpha) {
    return alpha * p.lift_curve[1] + p.lift_curve[0];
}
template <class T>
T drag_coefficient(const VehicleOf<T>& p, const T& alpha) {
    return ((alpha * p.drag_polar[2] * alpha) + p.drag_polar[1] * alpha) + p.drag_polar[0];
}

// A wing force, N, from its coefficient and the dynamic pressure.
template <class T>
T wing_force(const VehicleOf<T>& p, const T& coefficient, const T& qq) {
    return coefficient * (qq * p.S);
}

// Wing lift at speed vel, N: with the schedule, lift is a function of speed alone.
template <class T>
T wing_lift(const VehicleOf<T>& p, const T& vel) {
    return wing_force(p, lift_coefficient(p, angle_of_attack(p, vel)), dynamic_pressure(p, vel));
}

// Propeller thrust along the body axis, N.
template <class T>
T propeller_thrust(const VehicleOf<T>& p, const T& vel) {
    return (p.propeller[0] + vel * p.propeller[1]) + p.propeller[2] * vel * vel;
}

// Every quantity of one model evaluation.
template <class T>
struct EvaluationOf {
    T vel;     // speed evaluated, m/s
    T qq;      // dynamic pressure, Pa
    T alphaj;  // scheduled angle of attack, rad
    T slope;   // the schedule's slope there, d alpha / d v, rad/(m/s)
    T Cx;      // drag coefficient
    T Cz;      // lift coefficient
    T drag;    // wing drag, N
    T lift;    // wing lift, N
    T F;       // propeller thrust, N
    T thrust;  // total lift-rotor thrust, N, never negative
    T force;   // net force along the path, N
    T acc;     // acceleration along the path, m/s^2
    T power;   // ideal induced power of the lift rotors, W
};
using Evaluation = EvaluationOf<double>;

// What a vehicle's evaluations share, derived once per vehicle.
template <class T>
struct DerivedOf {
    T Q;     // weight, N
    T A;     // total disc area of the lift rotors, m^2
    T root;  // sqrt(2 rho A), written sqrt(A (rho + rho)): induced power's denominator
};
using Derived = DerivedOf<double>;
template <class T>
DerivedOf<T> derive(const VehicleOf<T>& p) {
    using std::sqrt;
    const T A = disc_area(p);
    return {weight(p), A, sqrt(A * (p.rho + p.rho))};
}

// One evaluation of vehicle p, with k = derive(p), at speed vel. Fills every field of e.
template <class T>
void evaluate(const VehicleOf<T>& p, const DerivedOf<T>& k, const T& vel, EvaluationOf<T>& e) {
    using std::pow;
    e.vel = vel;
    e.qq = dynamic_pressure(p, vel);
    scheduled(p.schedule, vel, e.alphaj, e.slope);
    e.Cx = drag_coefficient(p, e.alphaj);
    e.Cz = lift_coefficient(p, e.alphaj);
    e.drag = wing_force(p, e.Cx, e.qq);
    e.lift = wing_force(p, e.Cz, e.qq);
    e.F = propeller_thrust(p, vel);
    T sine, cosine;
    sine_and_cosine(e.alphaj, sine, cosine);
    // The lift rotors make up what wing lift and tilted propeller thrust leave missing
    // from the weight: thrust cos(alpha) + F sin(alpha) + lift = Q. They never push down;
    // a surplus is ignored, the model having no vertical motion.
    e.thrust = ((k.Q - e.lift) - sine * e.F) / cosine;
    if (e.thrust < 0.0) {
        e.thrust = T(0.0);
    }
    // Net force along the path and Newton's second law.
    e.force = (-e.drag - e.thrust * sine) + cosine * e.F;
    e.acc = e.force / p.m;
    // Ideal induced power from momentum theory, T^1.5 / sqrt(2 rho A).
    e.power = pow(e.thrust, 1.5) / k.root;
}

// Whether an evaluation lies in the range in which the model means anything: the
// scheduled angle within +-90 deg (the vertical balance divides by its cosine), the
// propeller pulling forwards, and every value finite (each one enters lift, acceleration
// or power, and x * 0 is 0 only for a finite x).
template <class T>
bool in_range(const EvaluationOf<T>& e) {
    return std::fabs(value_of(e.alphaj)) < 1.5707963267948966 && value_of(e.F) >= 0.0 &&
           std::isfinite(value_of(e.lift) * 0.0 + value_of(e.acc) * 0.0 + value_of(e.power) * 0.0);
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
