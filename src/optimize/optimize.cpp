#include "optimize/optimize.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <new>

#include <nlopt.h>

#include "study/sweep.h"

namespace {

// The figures that move smoothly with the design, and for each step-end column its located
// counterpart.
const char* const smooth[] = {"event_t", "event_v", "event_x", "event_w", "peak_thrust", "peak_power", "peak_alpha"};
const char* const counterparts[][2] = {{"t", "event_t"}, {"v", "event_v"},     {"x", "event_x"},
                                       {"w", "event_w"}, {"alpha", "peak_alpha"}, {"steps", "event_t"}};

std::size_t column_of(const std::string& name) {
    for (std::size_t c = 0; c < study_column_count; ++c)
        if (name == study_columns[c]) return c;
    return study_column_count;
}

std::string shortest(double x) {
    std::string text;
    append_real(text, x);
    return text;
}

// Points of the Halton sequence: coordinate k of point i (from 1) is i's radical inverse in
// the k-th prime base, in (0, 1).
constexpr int primes[most_varied] = {2, 3, 5, 7, 11, 13, 17, 19};
double radical_inverse(std::int64_t i, int base) {
    double inverse = 0.0, digit = 1.0 / base;
    for (; i > 0; i /= base, digit /= base) inverse += digit * static_cast<double>(i % base);
    return inverse;
}

// Points sampled in the box before the local search.
constexpr std::int64_t samples = 4096;
// Local searches, from the best sampled designs that meet every requirement.
constexpr int starts = 4;
// The most runs of one local search.
constexpr int most_local_runs = 4000;

// How one design fares: flyable to a located moment or not, its objective (to be made
// least: a maximum is sought as the least of its negative), and the requirements' margins,
// each as a fraction of the required value (of 1 for a value of 0), positive where missed.
struct Verdict {
    bool flyable = false;
    double objective = 0.0;
    std::vector<double> missed;
    double worst = 0.0;        // the largest of `missed`
    std::size_t worst_at = 0;  // which requirement that is
    bool feasible() const { return flyable && worst <= 0.0; }
};

// The state of one search: the problem, and the best designs met so far.
struct Search {
    Search(const Problem& problem, const std::function<void(const Optimum&)>& progress,
           const std::function<bool()>& go_on)
        : problem(problem), progress(progress), go_on(go_on), shown(std::chrono::steady_clock::now()) {
        best.found = false;
        best.runs = 0;
    }

    Vehicle design(const double* x) const {
        Vehicle v = problem.base;
        for (std::size_t k = 0; k < problem.vary.size(); ++k)
            set_value(problem.vary[k].value, x[k], v, problem.vary[k].where);
        return v;
    }

    Verdict judge(const StudyResult& r) const {
        Verdict verdict;
        double figure = 0.0;
        verdict.flyable = (r.stop == Stop::lift || r.stop == Stop::speed) && r.located &&
                          study_figure(r, problem.objective, figure);
        verdict.objective = problem.maximize ? -figure : figure;
        for (std::size_t j = 0; j < problem.require.size(); ++j) {
            const Requirement& q = problem.require[j];
            double value = 0.0;
            const bool known = verdict.flyable && study_figure(r, q.column, value);
            const double scale = q.value != 0.0 ? std::fabs(q.value) : 1.0;
            const double missed = !known ? 1.0 : (q.at_most ? value - q.value : q.value - value) / scale;
            verdict.missed.push_back(missed);
            if (j == 0 || missed > verdict.worst) {
                verdict.worst = missed;
                verdict.worst_at = j;
            }
        }
        return verdict;
    }

    // Takes note of a design studied: the best that meets every requirement, and of the
    // others that can be flown the one that misses its requirements least.
    void note(const double* x, const StudyResult& r, const Verdict& verdict) {
        ++best.runs;
        const std::size_t n = problem.vary.size();
        if (verdict.feasible() && (!best.found || verdict.objective < best_objective)) {
            best.found = true;
            best.x.assign(x, x + n);
            best.result = r;
            best_objective = verdict.objective;
        }
        if (verdict.flyable && !verdict.feasible() && (!nearest_seen || verdict.worst < nearest.worst)) {
            nearest_seen = true;
            nearest = verdict;
            nearest_result = r;
        }
        const auto now = std::chrono::steady_clock::now();
        if (progress && now - shown >= std::chrono::milliseconds(200)) {
            shown = now;
            progress(best);
        }
    }

    // The value COBYLA sees for a design: its objective and its requirements' margins, or for
    // one that cannot be flown an objective worse than any sampled and every margin missed.
    double evaluate(const double* raw, double* margins) {
        const std::size_t n = problem.vary.size();
        std::vector<double> x(raw, raw + n);
        for (std::size_t k = 0; k < n; ++k) x[k] = std::min(std::max(x[k], problem.vary[k].low), problem.vary[k].high);
        const StudyResult r = study_vehicle(design(x.data()));
        const Verdict verdict = judge(r);
        note(x.data(), r, verdict);
        for (std::size_t j = 0; j < problem.require.size(); ++j) margins[j] = verdict.missed[j];
        return verdict.flyable ? verdict.objective : unflyable;
    }

    const Problem& problem;
    const std::function<void(const Optimum&)>& progress;
    const std::function<bool()>& go_on;
    std::chrono::steady_clock::time_point shown;
    Optimum best;
    double best_objective = 0.0;
    bool nearest_seen = false;
    Verdict nearest;
    StudyResult nearest_result{};
    double unflyable = 0.0;
    bool stopped = false;
};

// COBYLA's view of a search: the objective, and all requirements at once, of the last point
// asked (NLopt asks for both at each point, the constraints first).
struct Local {
    Search& search;
    std::vector<double> x, margins;
    double objective = 0.0;
    nlopt_opt opt = nullptr;

    std::exception_ptr failure;

    // Nothing may unwind through NLopt's C: a failure stops it and is thrown again after.
    void at(const double* point) {
        if (!x.empty() && std::equal(x.begin(), x.end(), point)) return;
        x.assign(point, point + search.problem.vary.size());
        try {
            objective = search.evaluate(point, margins.data());
            if (!search.go_on()) search.stopped = true;
        } catch (...) {
            failure = std::current_exception();
            search.stopped = true;
        }
        if (search.stopped) nlopt_force_stop(opt);
    }
};

double local_objective(unsigned n, const double* x, double* gradient, void* data) {
    (void)n;
    (void)gradient;  // COBYLA uses none
    Local& local = *static_cast<Local*>(data);
    local.at(x);
    return local.objective;
}

void local_margins(unsigned m, double* result, unsigned n, const double* x, double* gradient, void* data) {
    (void)n;
    (void)gradient;
    Local& local = *static_cast<Local*>(data);
    local.at(x);
    std::copy(local.margins.begin(), local.margins.begin() + m, result);
}

}  // namespace

std::size_t smooth_column(const std::string& name, const std::string& where) {
    for (const char* allowed : smooth)
        if (name == allowed) return column_of(name);
    for (const auto& pair : counterparts) {
        if (name == pair[0])
            throw VehicleError(where + ": " + name +
                               " is taken at the end of the stopping step, so it jumps by up to a step as the "
                               "design moves that step; use " + pair[1] + ", taken at the located moment");
    }
    std::string names = smooth[0];
    for (std::size_t i = 1; i < sizeof smooth / sizeof smooth[0]; ++i) names = names + ", " + smooth[i];
    throw VehicleError(where + ": expected one of " + names + ", not '" + printable(name) + "'");
}

Varied make_vary(const std::string& key, double low, double high) {
    const std::string where = "--vary " + printable(key) + "=" + shortest(low) + ":" + shortest(high);
    Varied v{find_value(key, where), low, high, where};
    if (v.value.name == "lift_rotors")
        throw VehicleError(where + ": lift_rotors is a whole number and cannot be varied; sweep it instead "
                                   "(--sweep lift_rotors=3,4,6)");
    if (!(std::isfinite(low) && std::isfinite(high)))
        throw VehicleError(where + ": expected finite bounds");
    if (!(low < high)) throw VehicleError(where + ": expected LOW < HIGH");
    // Every value between two that make a vehicle makes one too.
    Vehicle probe{};
    set_value(v.value, low, probe, where);
    set_value(v.value, high, probe, where);
    return v;
}

Varied parse_vary(const std::string& text) {
    const std::string where = "--vary " + printable(text);
    const std::size_t equals = text.find('='), colon = text.find(':', equals == std::string::npos ? 0 : equals);
    if (equals == std::string::npos || colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
        throw VehicleError(where + ": expected KEY=LOW:HIGH");
    find_value(text.substr(0, equals), where);  // an unknown key is refused as such first
    const double low = parse_number(text.substr(equals + 1, colon - equals - 1), where);
    const double high = parse_number(text.substr(colon + 1), where);
    Varied v = make_vary(text.substr(0, equals), low, high);
    v.where = where;
    return v;
}

Requirement parse_requirement(const std::string& text) {
    const std::string where = "--require " + printable(text);
    const std::size_t at = text.find_first_of("<>");
    if (at == std::string::npos || at + 1 >= text.size() || text[at + 1] != '=')
        throw VehicleError(where + ": expected COLUMN<=VALUE or COLUMN>=VALUE");
    Requirement q{smooth_column(text.substr(0, at), where), text[at] == '<', 0.0, text};
    q.value = parse_number(text.substr(at + 2), where);
    return q;
}

void check_problem(const Problem& problem) {
    if (problem.vary.empty()) throw VehicleError("--vary: expected at least one value to vary");
    if (problem.vary.size() > most_varied)
        throw VehicleError("--vary: at most " + std::to_string(most_varied) + " values at once, not " +
                           std::to_string(problem.vary.size()));
    for (std::size_t i = 0; i < problem.vary.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VehicleValue &a = problem.vary[i].value, &b = problem.vary[j].value;
            if (a.key == b.key && a.index == b.index)
                throw VehicleError(problem.vary[i].where + ": " + a.name + " varied twice (also as " +
                                   problem.vary[j].where + ")");
        }
    }
}

Optimum optimize(const Problem& problem, int jobs, const std::function<void(const Optimum& best)>& progress,
                 const std::function<bool()>& go_on) {
    check_problem(problem);
    const std::size_t n = problem.vary.size();
    Search search(problem, progress, go_on);

    // The global stage: the box sampled on the sweep's threads, in a fixed order.
    std::vector<double> points(static_cast<std::size_t>(samples) * n);
    for (std::int64_t i = 0; i < samples; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            const Varied& v = problem.vary[k];
            const double u = radical_inverse(i + 1, primes[k]);
            points[static_cast<std::size_t>(i) * n + k] = v.low + (v.high - v.low) * u;
        }
    }
    // Each chunk's designs are judged on this thread, in order, as the chunk is taken.
    std::vector<StudyResult> sampled(static_cast<std::size_t>(samples));
    std::vector<Verdict> verdicts;
    double worst = -std::numeric_limits<double>::infinity(), least = std::numeric_limits<double>::infinity();
    const std::int64_t studied = run_in_order(
        samples, jobs, 16,
        [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i)
                sampled[static_cast<std::size_t>(i)] = study_vehicle(search.design(&points[static_cast<std::size_t>(i) * n]));
            return std::string();
        },
        [&](std::string&, std::int64_t done) {
            for (auto i = static_cast<std::int64_t>(verdicts.size()); i < done; ++i) {
                verdicts.push_back(search.judge(sampled[static_cast<std::size_t>(i)]));
                search.note(&points[static_cast<std::size_t>(i) * n], sampled[static_cast<std::size_t>(i)], verdicts.back());
                if (verdicts.back().flyable) {
                    worst = std::max(worst, verdicts.back().objective);
                    least = std::min(least, verdicts.back().objective);
                }
            }
            return true;
        },
        go_on);
    search.unflyable = std::isfinite(worst) ? worst + (worst - least) + std::fabs(worst) + 1.0 : 1.0;

    // The local stage, from the best sampled designs that meet every requirement (or, if none
    // does, from the one that misses its requirements least), each a distinct point.
    std::vector<std::int64_t> order;
    for (std::int64_t i = 0; i < studied; ++i)
        if (verdicts[static_cast<std::size_t>(i)].flyable) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        const Verdict &p = verdicts[static_cast<std::size_t>(a)], &q = verdicts[static_cast<std::size_t>(b)];
        if (p.feasible() != q.feasible()) return p.feasible();
        return p.feasible() ? p.objective < q.objective : p.worst < q.worst;
    });
    const std::size_t tries = order.empty() ? 0 : verdicts[static_cast<std::size_t>(order[0])].feasible() ? starts : 1;
    // The sample's points per side of the box, the least m with m^n >= samples: found in
    // whole numbers, since compilers may compute a power of a constant in ways of their own.
    std::int64_t per_side = 1;
    for (auto power = [&](std::int64_t m) {
             std::int64_t p = 1;
             for (std::size_t k = 0; k < n && p < samples; ++k) p *= m;
             return p;
         };
         power(per_side) < samples;)
        ++per_side;
    std::vector<double> lower(n), upper(n), step(n), tiny(n);
    for (std::size_t k = 0; k < n; ++k) {
        lower[k] = problem.vary[k].low;
        upper[k] = problem.vary[k].high;
        tiny[k] = (upper[k] - lower[k]) * 1e-10;
        // About two sample spacings: the search starts among the sampled points' neighbours.
        step[k] = (upper[k] - lower[k]) * 2.0 / static_cast<double>(per_side);
    }
    for (std::size_t s = 0; s < tries && s < order.size() && !search.stopped && studied == samples; ++s) {
        const std::int64_t i = order[s];
        if (s > 0 && !verdicts[static_cast<std::size_t>(i)].feasible()) break;
        std::vector<double> x(points.begin() + i * static_cast<std::int64_t>(n),
                              points.begin() + (i + 1) * static_cast<std::int64_t>(n));
        const nlopt_opt opt = nlopt_create(NLOPT_LN_COBYLA, static_cast<unsigned>(n));
        if (opt == nullptr) throw std::bad_alloc();
        Local local{search, {}, std::vector<double>(problem.require.size() + 1), 0.0, opt, nullptr};
        nlopt_set_lower_bounds(opt, lower.data());
        nlopt_set_upper_bounds(opt, upper.data());
        nlopt_set_initial_step(opt, step.data());
        nlopt_set_min_objective(opt, local_objective, &local);
        if (!problem.require.empty()) {
            const std::vector<double> tolerances(problem.require.size(), 0.0);
            nlopt_add_inequality_mconstraint(opt, static_cast<unsigned>(problem.require.size()), local_margins, &local,
                                             tolerances.data());
        }
        // 1e-10 of each value, or of its box for a value that tends to 0 (a bound of 0, say),
        // where no relative tolerance can be met.
        nlopt_set_xtol_rel(opt, 1e-10);
        nlopt_set_xtol_abs(opt, tiny.data());
        nlopt_set_maxeval(opt, most_local_runs);
        double value = 0.0;
        nlopt_optimize(opt, x.data(), &value);
        nlopt_destroy(opt);
        if (local.failure) std::rethrow_exception(local.failure);
    }

    // A value that COBYLA left a hair's breadth from its bound (1e-50 for a bound of 0) is
    // put on the bound, where the design is no worse.
    if (search.best.found && !search.stopped) {
        std::vector<double> x = search.best.x;
        for (std::size_t k = 0; k < n; ++k) {
            if (x[k] - lower[k] <= tiny[k] * 10.0) x[k] = lower[k];
            if (upper[k] - x[k] <= tiny[k] * 10.0) x[k] = upper[k];
        }
        if (x != search.best.x) {
            const StudyResult r = study_vehicle(search.design(x.data()));
            const Verdict verdict = search.judge(r);
            if (verdict.feasible() && verdict.objective <= search.best_objective) {
                search.best.x = x;
                search.best.result = r;
                search.best_objective = verdict.objective;
            }
            ++search.best.runs;
        }
    }

    Optimum best = search.best;
    if (best.found) {
        best.vehicle = search.design(best.x.data());
        return best;
    }
    if (!search.nearest_seen) {
        best.nearest = "no design in the box can be flown to a located moment (every one leaves the model's "
                       "range or reaches the step cap)";
        return best;
    }
    const Requirement& q = problem.require[search.nearest.worst_at];
    double figure = 0.0;
    study_figure(search.nearest_result, q.column, figure);
    best.nearest = "no design in the box meets every requirement; the nearest to being met is " + q.text +
                   ", missed by " + shortest(std::fabs(figure - q.value)) + " (" + study_columns[q.column] + " " +
                   shortest(figure) + " at best)";
    return best;
}
