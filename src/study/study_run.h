#pragma once

// The run of any vehicle and its located moment, for any number type T of the model's
// formulas (see flight_model/vehicle_model.h): on doubles it is the study of study.h; on
// dual numbers (derivatives/dual.h) the same run carries every figure's derivatives. The
// moment a stop condition holds is a root found on doubles: on dual numbers its derivative
// comes from the implicit-function theorem on the condition (see DualMoment). Nothing
// here keeps state between calls.

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "integrator/rkg4.h"
#include "study/study.h"
#include "trace_format/trace_lines.h"
#include "transition_run/calk.h"

namespace study_run {

// The run's stop conditions as functions of the state, negative before they hold: wing
// lift against the weight, speed against 25 m/s.
template <class T>
T condition(Stop stop, const VehicleOf<T>& p, const T& Q, const T& v) {
    return stop == Stop::lift ? T(wing_lift(p, v) - Q) : T(v - 25.0);
}

// What a pass over the model keeps of each evaluation: a run keeps the peaks, a traced
// run prints the evaluation's lines too, a probe (a step beyond the run, or a partial one
// to locate a moment) keeps neither.
enum class Pass { run, trace, probe };

// The vehicle's model as the integrator's derivative function. It keeps what the run reads
// of the latest evaluation and whether every evaluation so far lay in the model's range;
// only what the pass needs stays live across the maths library's calls.
// The latest evaluation's speed, lift and angle are read as values (the stop test, the
// moment's search, the last angle), the peaks in T; `fastest` is the highest speed evaluated.
template <class T, Pass pass>
struct Model {
    const VehicleOf<T>& p;
    const DerivedOf<T>& k;
    double vel = 0.0, lift = 0.0, alphaj = 0.0, fastest = 0.0;
    T peak_thrust = T(0.0), peak_power = T(0.0), peak_pitch_rate = T(0.0), peak_acceleration = T(0.0);
    bool sound = true;

    template <class Time>
    void operator()(T* dydt, T* y, int /*n*/, const Time& /*t*/) {
        EvaluationOf<T> e;
        evaluate(p, k, y[0], e);
        sound = sound && in_range(e);
        vel = value_of(e.vel);
        if (vel > fastest) fastest = vel;
        lift = value_of(e.lift);
        alphaj = value_of(e.alphaj);
        if constexpr (pass != Pass::probe) {
            if (e.thrust > peak_thrust) peak_thrust = e.thrust;
            if (e.power > peak_power) peak_power = e.power;
            // The nose's pitch rate d alpha / d t, the schedule's slope times the acceleration.
            const T pitch_rate = magnitude(T(e.slope * e.acc)), acceleration = magnitude(e.acc);
            if (pitch_rate > peak_pitch_rate) peak_pitch_rate = pitch_rate;
            if (acceleration > peak_acceleration) peak_acceleration = acceleration;
        }
        if constexpr (pass == Pass::trace) print_evaluation_lines(e);
        dydt[0] = e.acc;
        dydt[1] = y[0];
        dydt[2] = e.power;
    }
};

// Where the step of size h from (t0, y0), step number `step`, left the model's range:
// taken again, evaluation by evaluation, and its end state.
Invalid where_it_left(const Vehicle& p, const Derived& k, double t0, const double* y0, double h, int step);

// Whether the state after a step lies in the model's range too.
template <class T>
bool finite_state(const T* y) {
    return std::isfinite(value_of(y[0]) * 0.0 + value_of(y[1]) * 0.0 + value_of(y[2]) * 0.0);
}

// The condition of `stop` at the state of a partial Gill step of size tau from (t0, y0),
// that state left in y.
struct PartialStep {
    Model<double, Pass::probe>& model;
    Stop stop;
    double t0;
    const double* y0;
    double y[3], dydt[3], q[3];

    double operator()(double tau) {
        gill_step(model, y0, dydt, y, q, 3, tau, t0);
        return condition(stop, model.p, model.k.Q, y[0]);
    }
};

// A moment located in a step: the size of the partial step from the step's start that ends
// at it, and whether the condition held already at the start of the run (the moment is
// then the start itself, whatever the design).
struct Moment {
    double tau;
    bool at_start;
};

// The moment within the step from (t0, y0) at which `stop`'s condition, negative at the end
// of a partial step of size a (unless a is 0, at the start of the run) and not at one of
// size b, becomes zero: a bracketed root (Illinois) of the condition at the state of a
// partial Gill step from the step's start, so that the state reported is one the
// integrator produced. Takes the bracket's end at which the condition holds once the
// moment's time can tell the two ends apart no more.
Moment locate(PartialStep& g, double a, double b);

// The moment within the step of size h from (t0, y0) when the step's fourth evaluation, at
// speed v4, met the condition but neither end of the step does: the condition holds in a
// band of speeds that the step went into and out of. The partial step ending at speed v4
// (by bisection: the speed moves one way across the step) brackets the moment with the
// step's start; failing that, the first of `samples` partial steps at which the condition
// holds. False when no partial step tried meets it.
bool locate_inside(PartialStep& g, double h, double v4, double v1, Moment& moment);

// The state at a located moment for a run on dual numbers, and the moment's time: the
// partial step from (t0, y0) of the size tau found on doubles, with its derivatives at that
// fixed size, corrected by how the moment moves with the design. The condition c(tau, p) = 0
// defines tau(p), so d tau / d p = -(dc/dp) / (dc/dtau), dc/dtau taken on a partial step
// whose size is itself a dual number in one direction; each figure x at the moment then
// moves by dx/dp + dx/dtau d tau / d p. Defined with the dual numbers (derivatives/); it
// raises `fastest` to the highest speed at which it asks the schedule.
template <class T>
struct DualMoment;

// The run, its located moment, and the schedule's peak angle up to that moment's speed; a
// run that leaves the model's range stops at the end of the step where it did (on doubles
// saying where; on dual numbers as Stop::invalid alone). With `steps` (doubles only), every
// step's figures are kept. `most_steps` is the step cap: the run's own, or more to see how a
// design that reaches it would go on (an optimiser's view across the cap). With `fastest`,
// the highest speed, m/s, at which the run's formulas on T asked the schedule for the angle or
// its slope (its evaluations, the moment's condition, the peak angle's range): no partial of
// a value that the schedule uses only above that speed enters any figure.
template <class T, Pass pass>
StudyResultOf<T> study(const VehicleOf<T>& p, std::vector<StepFigures>* steps = nullptr,
                       int most_steps = run_step_cap, double* fastest = nullptr) {
    constexpr bool doubles = std::is_same_v<T, double>;
    // Unknown, and so every speed, until the run has ended in a figure.
    if (fastest != nullptr) *fastest = std::numeric_limits<double>::infinity();
    const DerivedOf<T> k = derive(p);
    Model<T, pass> model{p, k};
    StudyResultOf<T> r{};
    const double h = run_step;
    double t = 0.0;
    T start[3] = {T(0.0), T(0.0), T(0.0)}, end[3], dydt[3], q[3];
    // The run's values, on which the moment is sought and the conditions watched.
    VehicleOf<double> values_p;
    if constexpr (doubles) {
        values_p = p;
    } else {
        values_p = values_of(p);
    }
    const Derived values_k = derive(values_p);
    Model<T, Pass::probe> probe{p, k};
    double moment_fastest = 0.0;
    const auto reached = [&](const T& speed) {
        if (fastest != nullptr) *fastest = std::max({model.fastest, probe.fastest, moment_fastest, value_of(speed)});
    };
    // The first step at whose end the state meets each stop condition: its start.
    struct Crossing {
        bool seen;
        double t0;
        T y0[3];
    } crossed[2] = {};
    auto watch = [&](double t0, const T* y0, const T* y1) {
        for (Stop stop : {Stop::lift, Stop::speed}) {
            Crossing& c = crossed[stop == Stop::speed];
            if (!c.seen && condition(stop, values_p, values_k.Q, value_of(y1[0])) >= 0.0) {
                c = {true, t0, {y0[0], y0[1], y0[2]}};
            }
        }
    };

    for (int i = 0;; ++i) {
        gill_step(model, start, dydt, end, q, 3, h, t);
        if constexpr (doubles) {
            if constexpr (pass == Pass::trace) print_step_line(t, dydt[0], end, k.Q, model.lift);
            if (steps != nullptr) steps->push_back({t, dydt[0], end[0], end[1], end[2], model.lift});
        }
        if (!(model.sound && finite_state(end))) {
            r.stop = Stop::invalid;
            if constexpr (doubles) r.invalid = where_it_left(p, k, t, start, h, i + 1);
            return r;
        }
        watch(t, start, end);
        const StopReason reason =
            run_stop_reason(value_of(end[0]), model.lift, value_of(k.Q), i, most_steps);
        if (reason != StopReason::none) {
            r.stop = reason == StopReason::speed ? Stop::speed : reason == StopReason::lift ? Stop::lift : Stop::cap;
            r.steps = i + 1;
            break;
        }
        t = t + h;
        for (int j = 0; j < 3; ++j) start[j] = end[j];
    }
    r.t = t + h;
    for (int j = 0; j < 3; ++j) r.y[j] = end[j];
    r.alphaj = T(model.alphaj);
    r.peak_thrust = model.peak_thrust;
    r.peak_power = model.peak_power;
    r.peak_pitch_rate = model.peak_pitch_rate;
    r.peak_acceleration = model.peak_acceleration;
    if constexpr (doubles && pass == Pass::trace) print_summary_line(r.alphaj, end);
    const auto peak_alpha = [&] {
        const T& speed = r.located ? r.event_y[0] : r.y[0];
        r.peak_alpha = peak_angle_of_attack(p, speed);
        reached(speed);
    };
    if (r.stop == Stop::cap) {
        peak_alpha();
        return r;
    }

    // The moment the condition holds on the integrated solution: in the first step, from
    // the start of the run, whose end state meets it, if that is the stopping step or an
    // earlier one. Otherwise the stopping step's fourth evaluation met it first, at speed v4,
    // and the moment lies in the first step, from the stopping one on, that either ends in
    // the condition or goes through the speed v4 (the condition may hold only in a band of
    // speeds that a step enters and leaves). Steps beyond the run are not part of its figures.
    // The moment is sought on doubles, the values of the run's own.
    Crossing* c = &crossed[r.stop == Stop::speed];
    const double v4 = model.vel;
    Model<double, Pass::probe> probe_values{values_p, values_k};
    const auto located = [&](Stop stop, double t0, const T* y0, Moment moment) {
        r.located = true;
        if constexpr (doubles) {
            PartialStep g{probe_values, stop, t0, y0, {}, {}, {}};
            g(moment.tau);
            r.event_t = t0 + moment.tau;
            for (int j = 0; j < 3; ++j) r.event_y[j] = g.y[j];
        } else {
            DualMoment<T>::at(p, k, stop, t0, y0, moment, r, moment_fastest);
        }
        peak_alpha();
        return r;
    };
    for (int extra = 0; !c->seen; ++extra) {
        if ((value_of(start[0]) - v4) * (v4 - value_of(end[0])) >= 0.0) {
            const double y0[3] = {value_of(start[0]), value_of(start[1]), value_of(start[2])};
            PartialStep g{probe_values, r.stop, t, y0, {}, {}, {}};
            Moment moment{};
            if (locate_inside(g, h, v4, value_of(end[0]), moment)) return located(r.stop, t, start, moment);
        }
        if (extra == run_step_cap) break;
        t = t + h;
        for (int j = 0; j < 3; ++j) start[j] = end[j];
        gill_step(probe, start, dydt, end, q, 3, h, t);
        if (!(probe.sound && finite_state(end))) break;
        watch(t, start, end);
    }
    if (!c->seen) {
        peak_alpha();
        return r;
    }
    const double y0[3] = {value_of(c->y0[0]), value_of(c->y0[1]), value_of(c->y0[2])};
    PartialStep g{probe_values, r.stop, c->t0, y0, {}, {}, {}};
    return located(r.stop, c->t0, c->y0, locate(g, 0.0, h));
}

}  // namespace study_run
