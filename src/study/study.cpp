#include "study/study.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "integrator/rkg4.h"
#include "trace_format/trace_lines.h"
#include "transition_run/calk.h"

namespace {

// The run's stop conditions as functions of the state, negative before they hold: wing
// lift against the weight, speed against 25 m/s.
double condition(Stop stop, const Vehicle& p, double Q, double v) {
    return stop == Stop::lift ? wing_lift(p, v) - Q : v - 25.0;
}

// What a pass over the model keeps of each evaluation: a run keeps the peaks, a traced
// run prints the evaluation's lines too, a probe (a step beyond the run, or a partial one
// to locate a moment) keeps neither.
enum class Pass { run, trace, probe };

// The vehicle's model as the integrator's derivative function. It keeps what the run reads
// of the latest evaluation and whether every evaluation so far lay in the model's range;
// only what the pass needs stays live across the maths library's calls.
template <Pass pass>
struct Model {
    const Vehicle& p;
    const Derived& k;
    double vel = 0.0, lift = 0.0, alphaj = 0.0, peak_thrust = 0.0, peak_power = 0.0;
    bool sound = true;

    void operator()(double* dydt, double* y, int /*n*/, double /*t*/) {
        Evaluation e;
        evaluate(p, k, y[0], e);
        sound = sound && in_range(e);
        vel = e.vel;
        lift = e.lift;
        alphaj = e.alphaj;
        if constexpr (pass != Pass::probe) {
            peak_thrust = e.thrust > peak_thrust ? e.thrust : peak_thrust;
            peak_power = e.power > peak_power ? e.power : peak_power;
        }
        if constexpr (pass == Pass::trace) print_evaluation_lines(e);
        dydt[0] = e.acc;
        dydt[1] = y[0];
        dydt[2] = e.power;
    }
};

// The first evaluation out of the model's range, and its time, in the step it is given.
struct Diagnosis {
    const Vehicle& p;
    const Derived& k;
    Invalid invalid{};

    void operator()(double* dydt, double* y, int /*n*/, double t) {
        Evaluation e;
        evaluate(p, k, y[0], e);
        if (invalid.quantity == nullptr && !in_range(e)) {
            const OutOfRange bad = out_of_range(e);
            invalid = {bad.quantity, bad.value, t, 0};
        }
        dydt[0] = e.acc;
        dydt[1] = y[0];
        dydt[2] = e.power;
    }
};

// Where the step of size h from (t0, y0), step number `step`, left the model's range:
// taken again, evaluation by evaluation, and its end state.
Invalid where_it_left(const Vehicle& p, const Derived& k, double t0, const double* y0, double h, int step) {
    Diagnosis diagnosis{p, k};
    double dydt[3], y[3], q[3];
    gill_step(diagnosis, y0, dydt, y, q, 3, h, t0);
    Invalid bad = diagnosis.invalid;
    if (bad.quantity == nullptr) {
        const bool x_finite = std::isfinite(y[1]);
        bad = {x_finite ? "energy" : "distance", x_finite ? y[2] : y[1], t0 + h, 0};
    }
    bad.step = step;
    return bad;
}

// Whether the state after a step lies in the model's range too.
bool finite_state(const double* y) { return std::isfinite(y[0] * 0.0 + y[1] * 0.0 + y[2] * 0.0); }

// The condition of `stop` at the state of a partial Gill step of size tau from (t0, y0),
// that state left in y.
struct PartialStep {
    Model<Pass::probe>& model;
    Stop stop;
    double t0;
    const double* y0;
    double y[3], dydt[3], q[3];

    double operator()(double tau) {
        gill_step(model, y0, dydt, y, q, 3, tau, t0);
        return condition(stop, model.p, model.k.Q, y[0]);
    }
};

// The moment within the step from (t0, y0) at which `stop`'s condition, negative at the end
// of a partial step of size a (unless a is 0, at the start of the run) and not at one of
// size b, becomes zero: a bracketed root
// (Illinois) of the condition at the state of a partial Gill step from the step's start, so
// that the state reported is one the integrator produced. Takes the bracket's end at which
// the condition holds once the moment's time can tell the two ends apart no more.
void locate(PartialStep& g, double a, double b, StudyResult& r) {
    const double t0 = g.t0;
    double fa = g(a), fb = g(b);
    if (fa >= 0.0) b = a;  // it already holds at the start of the run
    int kept = 0;  // which end the last two steps kept: -1 a, +1 b
    for (int i = 0; i < 200 && fb != 0.0 && t0 + a != t0 + b; ++i) {
        double c = b - fb * (b - a) / (fb - fa);
        if (!(c > a && c < b)) c = a + (b - a) / 2.0;
        if (!(c > a && c < b)) break;  // a and b are neighbouring doubles
        const double fc = g(c);
        if (fc >= 0.0) {
            b = c;
            fb = fc;
            if (kept == -1) fa /= 2.0;
            kept = -1;
        } else {
            a = c;
            fa = fc;
            if (kept == 1) fb /= 2.0;
            kept = 1;
        }
    }
    g(b);
    r.located = true;
    r.event_t = t0 + b;
    for (int k = 0; k < 3; ++k) r.event_y[k] = g.y[k];
}

// Partial steps sampled across a step when the condition holds only inside it.
constexpr int samples = 64;

// The moment within the step of size h from (t0, y0) when the step's fourth evaluation, at
// speed v4, met the condition but neither end of the step does: the condition holds in a
// band of speeds that the step went into and out of. The partial step ending at speed v4
// (by bisection: the speed moves one way across the step) brackets the moment with the
// step's start; failing that, the first of `samples` partial steps at which the condition
// holds. False when no partial step tried meets it.
bool locate_inside(PartialStep& g, double h, double v4, double v1, StudyResult& r) {
    const bool rising = v1 > g.y0[0];
    double lo = 0.0, hi = h;
    for (double mid = lo + (hi - lo) / 2; mid > lo && mid < hi; mid = lo + (hi - lo) / 2) {
        g(mid);
        ((g.y[0] < v4) == rising ? lo : hi) = mid;
    }
    if (g(hi) >= 0.0) {
        locate(g, 0.0, hi, r);
        return true;
    }
    for (int j = 1; j < samples; ++j) {
        if (g(h * j / samples) >= 0.0) {
            locate(g, h * (j - 1) / samples, h * j / samples, r);
            return true;
        }
    }
    return false;
}

template <Pass pass>
StudyResult run_and_locate(const Vehicle& p, std::vector<StepFigures>* steps) {
    const Derived k = derive(p);
    Model<pass> model{p, k};
    StudyResult r{};
    const double h = run_step;
    double t = 0.0, start[3] = {0.0, 0.0, 0.0}, end[3], dydt[3], q[3];
    // The first step at whose end the state meets each stop condition: its start.
    struct Crossing {
        bool seen;
        double t0;
        double y0[3];
    } crossed[2] = {};
    auto watch = [&](double t0, const double* y0, const double* y1) {
        for (Stop stop : {Stop::lift, Stop::speed}) {
            Crossing& c = crossed[stop == Stop::speed];
            if (!c.seen && condition(stop, p, k.Q, y1[0]) >= 0.0) {
                c = {true, t0, {y0[0], y0[1], y0[2]}};
            }
        }
    };

    for (int i = 0;; ++i) {
        gill_step(model, start, dydt, end, q, 3, h, t);
        if constexpr (pass == Pass::trace) print_step_line(t, dydt[0], end, k.Q, model.lift);
        if (steps != nullptr) steps->push_back({t, dydt[0], end[0], end[1], end[2], model.lift});
        if (!(model.sound && finite_state(end))) {
            r.stop = Stop::invalid;
            r.invalid = where_it_left(p, k, t, start, h, i + 1);
            return r;
        }
        watch(t, start, end);
        const StopReason reason = run_stop_reason(end[0], model.lift, k.Q, i, run_step_cap);
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
    r.alphaj = model.alphaj;
    r.peak_thrust = model.peak_thrust;
    r.peak_power = model.peak_power;
    if constexpr (pass == Pass::trace) print_summary_line(r.alphaj, end);
    if (r.stop == Stop::cap) return r;

    // The moment the condition holds on the integrated solution: in the first step, from
    // the start of the run, whose end state meets it, if that is the stopping step or an
    // earlier one. Otherwise the stopping step's fourth evaluation met it first, at speed v4,
    // and the moment lies in the first step, from the stopping one on, that either ends in
    // the condition or goes through the speed v4 (the condition may hold only in a band of
    // speeds that a step enters and leaves). Steps beyond the run are not part of its figures.
    Model<Pass::probe> probe{p, k};
    Crossing& c = crossed[r.stop == Stop::speed];
    const double v4 = model.vel;
    for (int extra = 0; !c.seen; ++extra) {
        if ((start[0] - v4) * (v4 - end[0]) >= 0.0) {
            PartialStep g{probe, r.stop, t, start, {}, {}, {}};
            if (locate_inside(g, h, v4, end[0], r)) return r;
        }
        if (extra == run_step_cap) return r;
        t = t + h;
        for (int j = 0; j < 3; ++j) start[j] = end[j];
        gill_step(probe, start, dydt, end, q, 3, h, t);
        if (!(probe.sound && finite_state(end))) return r;
        watch(t, start, end);
    }
    PartialStep g{probe, r.stop, c.t0, c.y0, {}, {}, {}};
    locate(g, 0.0, h, r);
    return r;
}

// The run, its located moment, and the schedule's peak angle up to that moment's speed.
template <Pass pass>
StudyResult study(const Vehicle& p, std::vector<StepFigures>* steps = nullptr) {
    StudyResult r = run_and_locate<pass>(p, steps);
    if (r.stop != Stop::invalid) r.peak_alpha = peak_angle_of_attack(p, r.located ? r.event_y[0] : r.y[0]);
    return r;
}

}  // namespace

StudyResult study_vehicle(const Vehicle& p, bool trace) {
    return trace ? study<Pass::trace>(p) : study<Pass::run>(p);
}

StudyResult study_vehicle_steps(const Vehicle& p, std::vector<StepFigures>& steps) {
    steps.clear();
    return study<Pass::run>(p, &steps);
}

const char* const study_columns[study_column_count] = {
    "stop",    "steps",   "t",       "v",       "x",           "w",         "alpha",
    "event_t", "event_v", "event_x", "event_w", "peak_thrust", "peak_power", "peak_alpha"};

namespace {
std::string joined(const char* const* names, std::size_t count) {
    std::string text = names[0];
    for (std::size_t i = 1; i < count; ++i) text = text + "," + names[i];
    return text;
}
const std::string header_text = joined(study_columns, study_column_count);
}  // namespace

const char* const study_header = header_text.c_str();

const char* stop_name(Stop stop) {
    static const char* const names[] = {"lift", "speed", "cap", "invalid"};
    return names[static_cast<int>(stop)];
}

bool study_figure(const StudyResult& r, std::size_t column, double& value) {
    if (column == 0 || r.stop == Stop::invalid) return false;
    const bool event = column >= 7 && column <= 10;
    if (event && !r.located) return false;
    const double figures[study_column_count] = {
        0.0,        static_cast<double>(r.steps), r.t,          r.y[0],          r.y[1],
        r.y[2],     degrees(r.alphaj),            r.event_t,    r.event_y[0],    r.event_y[1],
        r.event_y[2], r.peak_thrust,              r.peak_power, r.peak_alpha};
    value = figures[column];
    return true;
}

void append_real(std::string& text, double x) {
    char digits[32];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, x, std::chars_format::general, 17);
    text.append(digits, written.ptr);
}

std::string study_row(const StudyResult& r) {
    std::string row = stop_name(r.stop);
    for (std::size_t column = 1; column < study_column_count; ++column) {
        row += ',';
        double value;
        if (!study_figure(r, column, value)) continue;
        if (column == 1) {
            row += std::to_string(r.steps);
        } else {
            append_real(row, value);
        }
    }
    return row;
}

std::string describe(const Invalid& bad) {
    const std::string quantity = bad.quantity;
    char what[160];
    if (quantity == "angle of attack") {
        std::snprintf(what, sizeof what, "angle of attack %.6g deg reaches +-90 deg", degrees(bad.value));
    } else if (quantity == "propeller thrust" && bad.value < 0.0) {
        std::snprintf(what, sizeof what, "propeller thrust %.6g N is negative", bad.value);
    } else {
        std::snprintf(what, sizeof what, "%s is not finite (%g)", bad.quantity, bad.value);
    }
    char when[96];
    std::snprintf(when, sizeof when, " at t = %.6g s (step %d)", bad.t, bad.step);
    return std::string(what) + when;
}
