#include "study/study.h"

#include "study/study_run.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "integrator/rkg4.h"
#include "trace_format/trace_lines.h"
#include "transition_run/calk.h"

namespace study_run {

namespace {

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

// Partial steps sampled across a step when the condition holds only inside it.
constexpr int samples = 64;

}  // namespace

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

Moment locate(PartialStep& g, double a, double b) {
    const double t0 = g.t0;
    double fa = g(a), fb = g(b);
    if (fa >= 0.0) b = a;  // it already holds at the start of the run
    const bool at_start = fa >= 0.0;
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
    return {b, at_start};
}

bool locate_inside(PartialStep& g, double h, double v4, double v1, Moment& moment) {
    const bool rising = v1 > g.y0[0];
    double lo = 0.0, hi = h;
    for (double mid = lo + (hi - lo) / 2; mid > lo && mid < hi; mid = lo + (hi - lo) / 2) {
        g(mid);
        ((g.y[0] < v4) == rising ? lo : hi) = mid;
    }
    if (g(hi) >= 0.0) {
        moment = locate(g, 0.0, hi);
        return true;
    }
    for (int j = 1; j < samples; ++j) {
        if (g(h * j / samples) >= 0.0) {
            moment = locate(g, h * (j - 1) / samples, h * j / samples);
            return true;
        }
    }
    return false;
}

}  // namespace study_run

StudyResult study_vehicle(const Vehicle& p, bool trace) {
    using namespace study_run;
    return trace ? study<double, Pass::trace>(p) : study<double, Pass::run>(p);
}

StudyResult study_vehicle_beyond(const Vehicle& p, int most_steps) {
    return study_run::study<double, study_run::Pass::run>(p, nullptr, most_steps);
}

StudyResult study_vehicle_steps(const Vehicle& p, std::vector<StepFigures>& steps) {
    steps.clear();
    return study_run::study<double, study_run::Pass::run>(p, &steps);
}

const char* const study_columns[study_column_count] = {
    "stop",    "steps",   "t",       "v",       "x",           "w",         "alpha",
    "event_t", "event_v", "event_x", "event_w", "peak_thrust", "peak_power", "peak_alpha", "peak_pitch_rate",
    "peak_acceleration"};

const char* const smooth_columns[smooth_count] = {"event_t",    "event_v",         "event_x",
                                                  "event_w",    "peak_thrust",     "peak_power",
                                                  "peak_alpha", "peak_pitch_rate", "peak_acceleration"};

std::size_t study_column(const std::string& name) {
    std::size_t c = 0;
    while (c < study_column_count && name != study_columns[c]) ++c;
    return c;
}

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
        r.event_y[2], r.peak_thrust,              r.peak_power, r.peak_alpha,    r.peak_pitch_rate,
        r.peak_acceleration};
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
