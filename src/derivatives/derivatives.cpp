#include "derivatives/derivatives.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "derivatives/dual.h"
#include "study/study_run.h"
#include "transition_run/calk.h"

namespace study_run {

template <int N>
struct DualMoment<Dual<N>> {
    static void at(const VehicleOf<Dual<N>>& p, const DerivedOf<Dual<N>>& k, Stop stop, double t0,
                   const Dual<N>* y0, Moment moment, StudyResultOf<Dual<N>>& r, double& fastest) {
        Model<Dual<N>, Pass::probe> probe{p, k};
        Dual<N> y[3], dydt[3], q[3];
        gill_step(probe, y0, dydt, y, q, 3, moment.tau, t0);
        fastest = std::max({fastest, probe.fastest, y[0].v});
        r.event_t = Dual<N>(t0 + moment.tau);
        for (int j = 0; j < 3; ++j) r.event_y[j] = y[j];
        // Held at the start of the run, it stays there however the design moves.
        if (moment.at_start) return;
        // dc/dtau, and dy/dtau, at the design's values.
        const Vehicle values = values_of(p);
        VehicleOf<Dual<1>> p1;
        p1.rotors = values.rotors;
        each_real(values, p1, [](double x, Dual<1>& c) { c = Dual<1>(x); });
        const DerivedOf<Dual<1>> k1 = derive(p1);
        Model<Dual<1>, Pass::probe> probe1{p1, k1};
        const Dual<1> start[3] = {y0[0].v, y0[1].v, y0[2].v};
        Dual<1> y1[3], dydt1[3], q1[3];
        gill_step(probe1, start, dydt1, y1, q1, 3, Dual<1>::seed(moment.tau, 0), t0);
        const double slope = condition(stop, p1, k1.Q, y1[0]).d[0];
        const Dual<N> c = condition(stop, p, k.Q, y[0]);
        for (int i = 0; i < N; ++i) {
            const double dtau = -c.d[i] / slope;
            r.event_t.d[i] = dtau;
            for (int j = 0; j < 3; ++j) r.event_y[j].d[i] = y[j].d[i] + y1[j].d[0] * dtau;
        }
    }
};

}  // namespace study_run

namespace {

// The partials are carried this many values at a time at most, in passes of the least of
// these sizes that holds the values left.
constexpr int pass_sizes[] = {1, 2, 4, 8, 12, 16, 20};
constexpr std::size_t most_per_pass = 20;

template <int N>
StudyResultOf<Dual<N>> run_on_duals(const VehicleOf<Dual<N>>& p, int most_steps, double& fastest) {
    return study_run::study<Dual<N>, study_run::Pass::run>(p, nullptr, most_steps, &fastest);
}

// The same run with every call within it compiled for AVX2, where the CPU has it: four
// partials to an instruction instead of two. Its adds, multiplies and divides round each
// partial as SSE2's do and none is fused, so the partials are the same doubles either way.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define TRANSITION_WIDE_DUALS 1
template <int N>
__attribute__((target("avx2"), flatten)) StudyResultOf<Dual<N>> run_on_wide_duals(const VehicleOf<Dual<N>>& p,
                                                                                   int most_steps, double& fastest) {
    return study_run::study<Dual<N>, study_run::Pass::run>(p, nullptr, most_steps, &fastest);
}
bool wide_duals() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

// What a pass finds besides the derivatives: the highest speed at which the run asked its
// schedule, and, from a lane seeded with no value, the derivatives of any value that no
// formula of the run used (0, or not finite where the run divides 0 by 0).
struct PassFinds {
    double fastest = std::numeric_limits<double>::infinity();
    double unused[smooth_count] = {};
};

// One pass: the values of p at `positions` of `values` (at most N of them), each its own
// partial, their derivatives put at those positions of out.d.
template <int N>
void pass(const Vehicle& p, const std::vector<std::size_t>& values, const std::vector<std::size_t>& positions,
          int most_steps, bool wide, StudyDerivatives& out, PassFinds& finds) {
    const int count = static_cast<int>(positions.size());
    VehicleOf<Dual<N>> seeded;
    seeded.rotors = p.rotors;
    std::size_t index = 0;
    each_real(p, seeded, [&](double x, Dual<N>& y) {
        y = Dual<N>(x);
        for (int j = 0; j < count; ++j)
            if (values[positions[static_cast<std::size_t>(j)]] == index) y.d[j] = 1.0;
        ++index;
    });
#ifdef TRANSITION_WIDE_DUALS
    const StudyResultOf<Dual<N>> r = wide && wide_duals() ? run_on_wide_duals(seeded, most_steps, finds.fastest)
                                                          : run_on_duals(seeded, most_steps, finds.fastest);
#else
    (void)wide;
    const StudyResultOf<Dual<N>> r = run_on_duals(seeded, most_steps, finds.fastest);
#endif
    StudyResult& v = out.result;
    v.stop = r.stop;
    v.steps = r.steps;
    v.t = r.t;
    v.alphaj = r.alphaj.v;
    v.located = r.located;
    v.event_t = r.event_t.v;
    for (int j = 0; j < 3; ++j) {
        v.y[j] = r.y[j].v;
        v.event_y[j] = r.event_y[j].v;
    }
    v.peak_thrust = r.peak_thrust.v;
    v.peak_power = r.peak_power.v;
    v.peak_alpha = r.peak_alpha.v;
    v.peak_pitch_rate = r.peak_pitch_rate.v;
    v.peak_acceleration = r.peak_acceleration.v;
    for (std::size_t i = 0; i < smooth_count; ++i) {
        Dual<N> figure;
        out.known[i] = smooth_figure(r, i, figure);
        if (!out.known[i]) continue;
        // A zero derivative is written 0, whatever the sign its rounding gave it.
        for (int j = 0; j < count; ++j) out.d[i][positions[static_cast<std::size_t>(j)]] = figure.d[j] + 0.0;
        if (count < N) finds.unused[i] = figure.d[count] + 0.0;
    }
}

template <std::size_t... S>
void dispatch(const Vehicle& p, const std::vector<std::size_t>& values, const std::vector<std::size_t>& positions,
              int most_steps, bool wide, StudyDerivatives& out, PassFinds& finds, std::index_sequence<S...>) {
    // The first size that holds the values.
    bool done = false;
    ((!done && positions.size() <= static_cast<std::size_t>(pass_sizes[S])
          ? (pass<pass_sizes[S]>(p, values, positions, most_steps, wide, out, finds), done = true)
          : false),
     ...);
}

}  // namespace

std::size_t real_count(const Vehicle& p) {
    std::size_t n = 0;
    Vehicle copy = p;
    each_real(p, copy, [&](const double&, double&) { ++n; });
    return n;
}

StudyDerivatives study_derivatives(const Vehicle& p, const std::vector<std::size_t>& values) {
    return study_derivatives_beyond(p, values, run_step_cap);
}

StudyDerivatives study_derivatives_beyond(const Vehicle& p, const std::vector<std::size_t>& values, int most_steps,
                                          bool wide) {
    const std::size_t n = real_count(p);
    for (std::size_t v : values)
        if (v >= n) throw std::out_of_range("study_derivatives: no real value " + std::to_string(v));
    StudyDerivatives out{};
    for (auto& d : out.d) d.assign(values.size(), 0.0);
    if (values.empty()) {
        out.result = study_vehicle_beyond(p, most_steps);
        for (std::size_t i = 0; i < smooth_count; ++i) {
            double figure;
            out.known[i] = smooth_figure(out.result, i, figure);
        }
    }
    // The values left, by position. The first pass keeps a lane free of any value when more
    // follow than it holds: a value that the schedule uses only above the highest speed the
    // run asked it for (a table's knots beyond the run) takes that lane's derivatives, the
    // same doubles its own lane would carry, and needs no pass.
    std::vector<std::size_t> left(values.size());
    for (std::size_t j = 0; j < left.size(); ++j) left[j] = j;
    for (bool first = true; !left.empty(); first = false) {
        const std::size_t room = first && left.size() > most_per_pass ? most_per_pass - 1 : most_per_pass;
        const std::size_t taken = std::min(room, left.size());
        const std::vector<std::size_t> positions(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(taken));
        left.erase(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(taken));
        PassFinds finds;
        dispatch(p, values, positions, most_steps, wide, out, finds,
                 std::make_index_sequence<sizeof pass_sizes / sizeof pass_sizes[0]>());
        if (out.result.stop == Stop::invalid) break;
        if (!first) continue;
        std::vector<std::size_t> used;
        for (std::size_t j : left) {
            if (schedule_reach(p, values[j]) <= finds.fastest) {
                used.push_back(j);
                continue;
            }
            for (std::size_t i = 0; i < smooth_count; ++i)
                if (out.known[i]) out.d[i][j] = finds.unused[i];
        }
        left = used;
    }
    // An invalid run says where it left the model's range, as the run on doubles does.
    if (out.result.stop == Stop::invalid) {
        out.result = study_vehicle(p);
        for (bool& known : out.known) known = false;
    }
    return out;
}
