#include "optimize/optimize.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <numeric>

#include <nlopt.h>

#include "derivatives/derivatives.h"
#include "study/sweep.h"
#include "transition_run/calk.h"

namespace {

// For each step-end column, its located counterpart.
const char* const counterparts[][2] = {{"t", "event_t"}, {"v", "event_v"},       {"x", "event_x"},
                                       {"w", "event_w"}, {"alpha", "peak_alpha"}, {"steps", "event_t"}};

// The fewest digits that read back as the same double.
std::string shortest(double x) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
}

// Points of the Halton sequence: coordinate k of point i (from 1) is i's radical inverse in
// the k-th prime base, in (0, 1).
constexpr int primes[most_sampled] = {2, 3, 5, 7, 11, 13, 17, 19};
double radical_inverse(std::int64_t i, int base) {
    double inverse = 0.0, digit = 1.0 / base;
    for (; i > 0; i /= base, digit /= base) inverse += digit * static_cast<double>(i % base);
    return inverse;
}

// The global stage's sample: this many points for each varied value, and this many more.
constexpr std::int64_t samples_per_value = 64;
constexpr std::int64_t samples_more = 64;
// The most designs one local search studies.
constexpr int most_local_runs = 150;
// How near a requirement's own scale a figure must be to its value for the requirement to
// bind at the answer, and an equality to be met.
constexpr double binding = 1e-6;
constexpr double equality_tolerance = 1e-10;

// The size of a requirement's value, or 1 for a value of 0: misses are measured against it.
double scale_of(double value) { return value != 0.0 ? std::fabs(value) : 1.0; }

// The problem in the order in which it is solved: values by key and element, requirements
// by column, bound and value, so that the order they are given in changes nothing.
struct Canonical {
    Problem problem;
    std::vector<std::size_t> vary_given;     // canonical value k is given value vary_given[k]
    std::vector<std::size_t> require_given;  // likewise for the requirements
    std::vector<std::size_t> reals;          // each value's index among the vehicle's reals
    std::size_t objective;                   // the objective's index among the smooth figures
    std::vector<std::size_t> figures;        // each requirement's
    double sign;                             // +1 to minimize, -1 to maximize
};

std::size_t smooth_index(std::size_t column) {
    for (std::size_t i = 0; i < smooth_count; ++i)
        if (study_column(smooth_columns[i]) == column) return i;
    return smooth_count;
}

Canonical canonical(const Problem& given) {
    Canonical c{given, {}, {}, {}, smooth_index(given.objective), {}, given.maximize ? -1.0 : 1.0};
    c.vary_given.resize(given.vary.size());
    std::iota(c.vary_given.begin(), c.vary_given.end(), 0);
    std::stable_sort(c.vary_given.begin(), c.vary_given.end(), [&](std::size_t a, std::size_t b) {
        const VehicleValue &p = given.vary[a].value, &q = given.vary[b].value;
        return p.key != q.key ? p.key < q.key : p.index < q.index;
    });
    c.require_given.resize(given.require.size());
    std::iota(c.require_given.begin(), c.require_given.end(), 0);
    std::stable_sort(c.require_given.begin(), c.require_given.end(), [&](std::size_t a, std::size_t b) {
        const Requirement &p = given.require[a], &q = given.require[b];
        if (p.column != q.column) return p.column < q.column;
        if (p.bound != q.bound) return p.bound < q.bound;
        return p.value < q.value;
    });
    for (std::size_t k = 0; k < given.vary.size(); ++k) {
        c.problem.vary[k] = given.vary[c.vary_given[k]];
        c.reals.push_back(real_value_index(c.problem.vary[k].value, given.base, c.problem.vary[k].where));
    }
    for (std::size_t j = 0; j < given.require.size(); ++j) {
        c.problem.require[j] = given.require[c.require_given[j]];
        c.figures.push_back(smooth_index(c.problem.require[j].column));
    }
    return c;
}

// How one design fares: flyable to a located moment or not, its objective (to be made
// least: a maximum is sought as the least of its negative), and the requirements' misses,
// each as a fraction of the required value's size, positive where missed.
struct Verdict {
    bool flyable = false;
    double objective = 0.0;
    std::vector<double> missed;
    std::vector<double> figures;  // each requirement's figure
    double worst = 0.0;           // the largest of `missed`
    std::size_t worst_at = 0;     // which requirement that is
    bool feasible() const { return flyable && worst <= 0.0; }
};

Verdict judge(const Canonical& c, const StudyResult& r) {
    Verdict v;
    double figure = 0.0;
    v.flyable = (r.stop == Stop::lift || r.stop == Stop::speed) && r.located && smooth_figure(r, c.objective, figure);
    v.objective = c.sign * figure;
    for (std::size_t j = 0; j < c.problem.require.size(); ++j) {
        const Requirement& q = c.problem.require[j];
        double value = 0.0;
        const bool known = v.flyable && smooth_figure(r, c.figures[j], value);
        const double s = scale_of(q.value);
        double missed = 1.0;
        if (known) {
            missed = q.bound == Bound::at_most    ? (value - q.value) / s
                     : q.bound == Bound::at_least ? (q.value - value) / s
                                                  : std::fabs(value - q.value) / s - equality_tolerance;
        }
        v.missed.push_back(missed);
        v.figures.push_back(value);
        if (j == 0 || missed > v.worst) {
            v.worst = missed;
            v.worst_at = j;
        }
    }
    return v;
}

Vehicle design(const Canonical& c, const std::vector<double>& x) {
    Vehicle v = c.problem.base;
    for (std::size_t k = 0; k < x.size(); ++k) set_value(c.problem.vary[k].value, x[k], v, c.problem.vary[k].where);
    return v;
}

// What a part of the search met: the best design that meets every requirement, the flyable
// design that misses them least (its worst miss least), and for each requirement the least
// it is missed by and its figure there. Records are merged in a fixed order, an earlier one
// winning a tie, so that the answer is the same however the parts were shared out.
struct Record {
    bool found = false;
    double objective = 0.0;
    std::vector<double> x;
    StudyResult result{};
    bool nearest_seen = false;
    Verdict nearest;
    std::vector<double> nearest_x;
    StudyResult nearest_result{};
    std::vector<double> least_missed, least_figure;
    std::int64_t runs = 0, gradients = 0;

    void note(const std::vector<double>& at, const StudyResult& r, const Verdict& v) {
        if (v.feasible() && (!found || v.objective < objective)) {
            found = true;
            objective = v.objective;
            x = at;
            result = r;
        }
        if (!v.flyable) return;
        if (!v.feasible() && (!nearest_seen || v.worst < nearest.worst)) {
            nearest_seen = true;
            nearest = v;
            nearest_x = at;
            nearest_result = r;
        }
        if (least_missed.empty()) {
            least_missed.assign(v.missed.size(), std::numeric_limits<double>::infinity());
            least_figure.assign(v.missed.size(), 0.0);
        }
        for (std::size_t j = 0; j < v.missed.size(); ++j) {
            if (v.missed[j] < least_missed[j]) {
                least_missed[j] = v.missed[j];
                least_figure[j] = v.figures[j];
            }
        }
    }

    void merge(const Record& later) {
        runs += later.runs;
        gradients += later.gradients;
        if (later.found && (!found || later.objective < objective)) {
            found = true;
            objective = later.objective;
            x = later.x;
            result = later.result;
        }
        if (later.nearest_seen && (!nearest_seen || later.nearest.worst < nearest.worst)) {
            nearest_seen = true;
            nearest = later.nearest;
            nearest_x = later.nearest_x;
            nearest_result = later.nearest_result;
        }
        if (least_missed.empty()) {
            least_missed = later.least_missed;
            least_figure = later.least_figure;
        } else {
            for (std::size_t j = 0; j < later.least_missed.size(); ++j) {
                if (later.least_missed[j] < least_missed[j]) {
                    least_missed[j] = later.least_missed[j];
                    least_figure[j] = later.least_figure[j];
                }
            }
        }
    }
};

// The box in the search's own coordinates: value k is low + (high - low) u_k, u_k in [0, 1],
// exactly LOW and HIGH at the ends.
std::vector<double> values_at(const Canonical& c, const double* u) {
    std::vector<double> x(c.problem.vary.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        const Varied& v = c.problem.vary[k];
        x[k] = u[k] <= 0.0 ? v.low : u[k] >= 1.0 ? v.high : std::min(std::max(v.low + (v.high - v.low) * u[k], v.low), v.high);
    }
    return x;
}

// How far before the step cap's end a local search keeps the moment, as a fraction of it:
// enough that a step of the search that would overshoot its linear model of the cap
// seldom lands beyond it.
constexpr double cap_margin = 1e-9;
// How far a local search follows a design that reaches the step cap.
constexpr int beyond_cap = 2 * run_step_cap;

// The time at the end of the last step the run may take, by repeated addition as the run
// adds time: a design whose moment would come later reaches the step cap.
double cap_time() {
    double t = 0.0;
    for (int i = 0; i < run_step_cap; ++i) t = t + run_step;
    return t;
}

// A design with its figures, and their gradients in u, as the local search sees it: the
// objective over `objective_scale`, and each requirement as a margin c <= 0 (c = 0 for an
// equality) in its own scale, and after them the step cap as one more, event_t <= the end
// of the last step, which every flyable design meets: a search drawn towards longer runs
// meets the cap as a requirement's value rather than as a cliff. A design that cannot be
// flown gets `unflyable` and every margin 1, with no gradient: the search steps back from it.
struct Point {
    std::vector<double> u;
    bool with_gradient = false;
    Verdict verdict;
    double objective = 0.0;
    std::vector<double> margins;
    std::vector<double> objective_gradient;  // n
    std::vector<double> margin_gradients;    // m x n, by requirement
};

struct Evaluator {
    const Canonical& c;
    double objective_scale = 1.0;
    double unflyable = 1.0;

    Point at(const double* u, bool with_gradient, Record& record) const {
        const std::size_t n = c.problem.vary.size(), m = c.problem.require.size();
        Point p;
        p.u.assign(u, u + n);
        p.with_gradient = with_gradient;
        const std::vector<double> x = values_at(c, u);
        const Vehicle v = design(c, x);
        const auto study = [&](int most_steps) {
            StudyDerivatives d;
            if (with_gradient) {
                d = study_derivatives_beyond(v, c.reals, most_steps);
                ++record.gradients;
            } else {
                d.result = study_vehicle_beyond(v, most_steps);
            }
            ++record.runs;
            return d;
        };
        StudyDerivatives d = study(run_step_cap);
        p.verdict = judge(c, d.result);
        record.note(x, d.result, p.verdict);
        // A design that reaches the step cap is seen as its run would go on: its figures
        // beyond the cap, the cap's margin missed, so that the search comes back to the cap
        // along the figures' own slopes. It is never the answer.
        if (d.result.stop == Stop::cap) {
            d = study(beyond_cap);
            const Verdict beyond = judge(c, d.result);
            if (beyond.flyable) {
                p.verdict = beyond;
                p.verdict.worst = std::max(p.verdict.worst, 1.0);
            }
        }
        p.margins.assign(m + 1, 1.0);
        p.objective_gradient.assign(n, 0.0);
        p.margin_gradients.assign((m + 1) * n, 0.0);
        if (!p.verdict.flyable) {
            p.objective = unflyable;
            return p;
        }
        p.objective = p.verdict.objective / objective_scale;
        const auto finite = [](double g) { return std::isfinite(g) ? g : 0.0; };
        for (std::size_t j = 0; j < m; ++j) {
            const Requirement& q = c.problem.require[j];
            const double s = scale_of(q.value), sense = q.bound == Bound::at_least ? -1.0 : 1.0;
            p.margins[j] = sense * (p.verdict.figures[j] - q.value) / s;
            if (!with_gradient) continue;
            for (std::size_t k = 0; k < n; ++k) {
                const Varied& var = c.problem.vary[k];
                p.margin_gradients[j * n + k] = finite(sense * d.d[c.figures[j]][k] * (var.high - var.low) / s);
            }
        }
        const double cap = cap_time();
        p.margins[m] = (d.result.event_t - cap) / cap + cap_margin;
        if (with_gradient) {
            for (std::size_t k = 0; k < n; ++k) {
                const Varied& var = c.problem.vary[k];
                p.objective_gradient[k] =
                    finite(c.sign * d.d[c.objective][k] * (var.high - var.low) / objective_scale);
                p.margin_gradients[m * n + k] = finite(d.d[0][k] * (var.high - var.low) / cap);
            }
        }
        return p;
    }
};

// One local search with NLopt's SLSQP from u0: the objective and the requirements of the
// last point asked, with their gradients (NLopt asks for the objective and the margins at
// each point). Nothing may unwind through NLopt's C: a failure stops it and is thrown again.
struct Local {
    const Evaluator& evaluator;
    const std::atomic<bool>& stop;
    Record record;
    Point last;
    bool any = false;
    // The best point that misses no requirement by more than a hair: NLopt answers with the
    // best point that meets them all, and the one it converges to may miss one by a rounding.
    Point near;
    bool near_seen = false;
    nlopt_opt opt = nullptr;
    std::exception_ptr failure;
    std::vector<std::size_t> inequalities, equalities;

    const Point& at(const double* u, bool with_gradient) {
        const std::size_t n = evaluator.c.problem.vary.size();
        if (any && std::equal(last.u.begin(), last.u.end(), u, u + n) && (last.with_gradient || !with_gradient))
            return last;
        try {
            last = evaluator.at(u, with_gradient, record);
            any = true;
            bool close = last.verdict.flyable;
            for (double margin : last.margins) close = close && margin < binding;
            if (close && (!near_seen || last.objective < near.objective || (last.objective == near.objective &&
                                                                              last.with_gradient))) {
                near = last;
                near_seen = true;
            }
        } catch (...) {
            failure = std::current_exception();
            nlopt_force_stop(opt);
        }
        if (stop) nlopt_force_stop(opt);
        return last;
    }

    // Point u with gradients once the search has ended: the last point asked, when it was u
    // and had them (a search that stops where it began asks for nothing more).
    Point after(const double* u) {
        const std::size_t n = evaluator.c.problem.vary.size();
        if (any && last.with_gradient && std::equal(last.u.begin(), last.u.end(), u, u + n)) return last;
        return evaluator.at(u, true, record);
    }
};

double local_objective(unsigned n, const double* u, double* gradient, void* data) {
    Local& local = *static_cast<Local*>(data);
    const Point& p = local.at(u, gradient != nullptr);
    if (gradient != nullptr) std::copy(p.objective_gradient.begin(), p.objective_gradient.begin() + n, gradient);
    return p.objective;
}

template <bool equal>
void local_margins(unsigned m, double* result, unsigned n, const double* u, double* gradient, void* data) {
    Local& local = *static_cast<Local*>(data);
    const Point& p = local.at(u, gradient != nullptr);
    const std::vector<std::size_t>& which = equal ? local.equalities : local.inequalities;
    for (unsigned i = 0; i < m; ++i) {
        result[i] = p.margins[which[i]];
        if (gradient != nullptr)
            std::copy(p.margin_gradients.begin() + static_cast<std::ptrdiff_t>(which[i] * n),
                      p.margin_gradients.begin() + static_cast<std::ptrdiff_t>((which[i] + 1) * n), gradient + i * n);
    }
}

// Solves the least-squares problem min |A z - b| for z (A rows x cols, by rows), cols <= rows
// and A of full column rank, by Householder reflections; false when A is rank deficient.
bool least_squares(std::vector<double> a, std::vector<double> b, std::size_t rows, std::size_t cols,
                   std::vector<double>& z) {
    for (std::size_t j = 0; j < cols; ++j) {
        double norm = 0.0;
        for (std::size_t i = j; i < rows; ++i) norm += a[i * cols + j] * a[i * cols + j];
        norm = std::sqrt(norm);
        if (!(norm > 1e-300)) return false;
        const double alpha = a[j * cols + j] > 0.0 ? -norm : norm;
        std::vector<double> h(rows, 0.0);
        for (std::size_t i = j; i < rows; ++i) h[i] = a[i * cols + j];
        h[j] -= alpha;
        double hh = 0.0;
        for (std::size_t i = j; i < rows; ++i) hh += h[i] * h[i];
        if (hh == 0.0) continue;
        for (std::size_t col = j; col < cols; ++col) {
            double dot = 0.0;
            for (std::size_t i = j; i < rows; ++i) dot += h[i] * a[i * cols + col];
            for (std::size_t i = j; i < rows; ++i) a[i * cols + col] -= 2.0 * dot / hh * h[i];
        }
        double dot = 0.0;
        for (std::size_t i = j; i < rows; ++i) dot += h[i] * b[i];
        for (std::size_t i = j; i < rows; ++i) b[i] -= 2.0 * dot / hh * h[i];
    }
    z.assign(cols, 0.0);
    for (std::size_t j = cols; j-- > 0;) {
        double s = b[j];
        for (std::size_t col = j + 1; col < cols; ++col) s -= a[j * cols + col] * z[col];
        if (!(std::fabs(a[j * cols + j]) > 1e-14 * std::fabs(a[0]))) return false;
        z[j] = s / a[j * cols + j];
    }
    return true;
}

// The requirements' costs at point p (with its gradients): the multipliers of the binding
// requirements and bounds in grad F + sum mu_i grad c_i = 0, by least squares, an inequality
// whose multiplier comes out negative taken as not binding; each then as d(objective)/d(value).
std::vector<double> costs_at(const Canonical& c, const Point& p, double objective_scale) {
    const std::size_t n = c.problem.vary.size(), m = c.problem.require.size();
    std::vector<double> costs(m, 0.0);
    std::vector<bool> active(m + 1, false);
    for (std::size_t j = 0; j <= m; ++j) active[j] = std::fabs(p.margins[j]) <= binding;
    for (int round = 0; round <= static_cast<int>(m) + 1; ++round) {
        // Columns: the active requirements' gradients (the step cap's among them), then the
        // active bounds' (-e_k at a lower bound, +e_k at an upper one).
        std::vector<std::size_t> which;
        for (std::size_t j = 0; j <= m; ++j)
            if (active[j]) which.push_back(j);
        std::vector<std::pair<std::size_t, double>> bounds;
        for (std::size_t k = 0; k < n; ++k) {
            if (p.u[k] <= 0.0) bounds.push_back({k, -1.0});
            if (p.u[k] >= 1.0) bounds.push_back({k, 1.0});
        }
        const std::size_t cols = which.size() + bounds.size();
        if (which.empty() || cols > n) return costs;
        std::vector<double> a(n * cols, 0.0), b(n);
        for (std::size_t k = 0; k < n; ++k) {
            b[k] = -p.objective_gradient[k];
            for (std::size_t i = 0; i < which.size(); ++i) a[k * cols + i] = p.margin_gradients[which[i] * n + k];
            for (std::size_t i = 0; i < bounds.size(); ++i)
                if (bounds[i].first == k) a[k * cols + which.size() + i] = bounds[i].second;
        }
        std::vector<double> mu;
        if (!least_squares(a, b, n, cols, mu)) return costs;
        bool dropped = false;
        for (std::size_t i = 0; i < which.size(); ++i) {
            if (mu[i] < 0.0 && (which[i] == m || c.problem.require[which[i]].bound != Bound::equal)) {
                active[which[i]] = false;
                dropped = true;
            }
        }
        if (dropped) continue;
        for (std::size_t i = 0; i < which.size(); ++i) {
            if (which[i] == m) continue;
            const Requirement& q = c.problem.require[which[i]];
            // dF*/dL = mu dc/dL, c = +-(figure - L) / s; the objective is sign * scale * F.
            const double dc = (q.bound == Bound::at_least ? 1.0 : -1.0) / scale_of(q.value);
            costs[which[i]] = c.sign * objective_scale * mu[i] * dc + 0.0;
        }
        return costs;
    }
    return costs;
}

// From a point that misses binding requirements by a hair (a local search ends on a
// requirement's value, on either side): Newton steps onto them, aimed a little inside.
void restore(const Evaluator& evaluator, const Point& from, Record& record) {
    const std::size_t n = from.u.size(), m = from.margins.size();
    Point p = from;
    for (int step = 0; step < 4 && p.verdict.flyable && !p.verdict.feasible() && p.with_gradient; ++step) {
        std::vector<std::size_t> which;
        for (std::size_t j = 0; j < m; ++j)
            if (p.margins[j] > -binding && p.margins[j] < binding) which.push_back(j);
        if (which.empty()) return;
        // The least change of u with J du = -(c + margin), margin a few roundings inside.
        const std::size_t rows = which.size();
        std::vector<double> jt(n * rows), rhs(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            const bool equal = which[i] < evaluator.c.problem.require.size() &&
                               evaluator.c.problem.require[which[i]].bound == Bound::equal;
            rhs[i] = -(p.margins[which[i]] + (equal ? 0.0 : 1e-13));
            for (std::size_t k = 0; k < n; ++k) jt[k * rows + i] = p.margin_gradients[which[i] * n + k];
        }
        // du = J^T y with (J J^T) y = rhs.
        if (rows > n) return;
        std::vector<double> y, jjt(rows * rows, 0.0);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t l = 0; l < rows; ++l)
                for (std::size_t k = 0; k < n; ++k) jjt[i * rows + l] += jt[k * rows + i] * jt[k * rows + l];
        if (!least_squares(jjt, rhs, rows, rows, y)) return;
        std::vector<double> u = p.u;
        for (std::size_t k = 0; k < n; ++k) {
            double du = 0.0;
            for (std::size_t i = 0; i < rows; ++i) du += jt[k * rows + i] * y[i];
            u[k] = std::min(std::max(u[k] + du, 0.0), 1.0);
        }
        p = evaluator.at(u.data(), true, record);
    }
}

// Where no requirement binds: Newton's method on the objective's gradient in the values
// that lie inside the box, its Hessian from differences of the exact gradient. The
// objective itself is flat at a minimum to the rounding of a run, its gradient is not: the
// root of the gradient is found to far more digits than the least of the objective's values.
void polish(const Evaluator& evaluator, const std::vector<double>& start, Record& record) {
    const std::size_t n = start.size();
    std::vector<double> u = start;
    for (int step = 0; step < 3; ++step) {
        const Point p = evaluator.at(u.data(), true, record);
        if (!p.verdict.feasible()) return;
        for (double margin : p.margins)
            if (margin > -binding) return;
        std::vector<std::size_t> inside;
        for (std::size_t k = 0; k < n; ++k)
            if (u[k] > 0.0 && u[k] < 1.0) inside.push_back(k);
        const std::size_t f = inside.size();
        if (f == 0 || f > most_sampled) return;
        std::vector<double> hessian(f * f), minus_gradient(f);
        for (std::size_t a = 0; a < f; ++a) {
            minus_gradient[a] = -p.objective_gradient[inside[a]];
            std::vector<double> v = u;
            const double h = u[inside[a]] < 0.5 ? 1e-6 : -1e-6;
            v[inside[a]] += h;
            const Point q = evaluator.at(v.data(), true, record);
            if (!q.verdict.flyable) return;
            for (std::size_t b = 0; b < f; ++b)
                hessian[b * f + a] = (q.objective_gradient[inside[b]] - p.objective_gradient[inside[b]]) / h;
        }
        // The differences' Hessian made symmetric; a step only where it is a minimum's.
        for (std::size_t a = 0; a < f; ++a)
            for (std::size_t b = 0; b < a; ++b)
                hessian[a * f + b] = hessian[b * f + a] = (hessian[a * f + b] + hessian[b * f + a]) / 2.0;
        std::vector<double> du;
        if (!least_squares(hessian, minus_gradient, f, f, du)) return;
        double descent = 0.0, size = 0.0;
        for (std::size_t a = 0; a < f; ++a) {
            descent += du[a] * minus_gradient[a];
            size = std::max(size, std::fabs(du[a]));
        }
        if (!(descent > 0.0) || size > 0.1) return;
        std::vector<double> next = u;
        for (std::size_t a = 0; a < f; ++a) next[inside[a]] = std::min(std::max(u[inside[a]] + du[a], 0.0), 1.0);
        if (next == u) break;
        u = next;
    }
    evaluator.at(u.data(), false, record);
}

}  // namespace

std::size_t smooth_column(const std::string& name, const std::string& where) {
    for (const char* allowed : smooth_columns)
        if (name == allowed) return study_column(name);
    for (const auto& pair : counterparts) {
        if (name == pair[0])
            throw VehicleError(where + ": " + name +
                               " is taken at the end of the stopping step, so it jumps by up to a step as the "
                               "design moves that step; use " + pair[1] + ", taken at the located moment");
    }
    std::string names = smooth_columns[0];
    for (std::size_t i = 1; i < smooth_count; ++i) names = names + ", " + smooth_columns[i];
    throw VehicleError(where + ": expected one of " + names + ", not '" + printable(name) + "'");
}

std::vector<Varied> make_varied(const std::string& key, double low, double high, const Vehicle& base,
                                const std::string& named) {
    const std::string where =
        !named.empty() ? named : "--vary " + printable(key) + "=" + shortest(low) + ":" + shortest(high);
    const VehicleValue value = find_value(key, where);
    std::vector<std::string> keys;
    if (value.index >= 0) {
        keys.push_back(key);
    } else {
        for (std::size_t i = 0; i < key_values(base, key).size(); ++i) keys.push_back(key + "[" + std::to_string(i) + "]");
        if (keys.empty()) real_value_index(value, base, where);  // refused: the vehicle has no such key
    }
    std::vector<Varied> varied;
    for (const std::string& element : keys) {
        Varied v{find_value(element, where), low, high, where};
        if (v.value.name == "lift_rotors")
            throw VehicleError(where + ": lift_rotors is a whole number and cannot be varied; sweep it instead "
                                       "(--sweep lift_rotors=3,4,6)");
        if (!(std::isfinite(low) && std::isfinite(high))) throw VehicleError(where + ": expected finite bounds");
        if (!(low < high)) throw VehicleError(where + ": expected LOW < HIGH");
        // Every value between two that make a vehicle makes one too.
        Vehicle probe = base;
        set_value(v.value, low, probe, where);
        probe = base;
        set_value(v.value, high, probe, where);
        varied.push_back(v);
    }
    return varied;
}

std::vector<Varied> parse_varied(const std::string& text, const Vehicle& base) {
    const std::string where = "--vary " + printable(text);
    const std::size_t equals = text.find('='), colon = text.find(':', equals == std::string::npos ? 0 : equals);
    if (equals == std::string::npos || colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
        throw VehicleError(where + ": expected KEY=LOW:HIGH");
    find_value(text.substr(0, equals), where);  // an unknown key is refused as such first
    const double low = parse_number(text.substr(equals + 1, colon - equals - 1), where);
    const double high = parse_number(text.substr(colon + 1), where);
    return make_varied(text.substr(0, equals), low, high, base, where);
}

Requirement parse_requirement(const std::string& text, const std::string& named) {
    const std::string where = !named.empty() ? named : "--require " + printable(text);
    const std::size_t at = text.find_first_of("<>=");
    if (at == std::string::npos || at + 1 >= text.size() || text[at + 1] != '=')
        throw VehicleError(where + ": expected COLUMN<=VALUE, COLUMN>=VALUE or COLUMN==VALUE");
    const Bound bound = text[at] == '<' ? Bound::at_most : text[at] == '>' ? Bound::at_least : Bound::equal;
    Requirement q{smooth_column(text.substr(0, at), where), bound, 0.0, text};
    q.value = parse_number(text.substr(at + 2), where);
    return q;
}

void check_problem(const Problem& problem, const std::string& vary) {
    if (problem.vary.empty()) throw VehicleError(vary + ": expected at least one value to vary");
    if (problem.vary.size() > most_varied)
        throw VehicleError(vary + ": at most " + std::to_string(most_varied) + " values at once, not " +
                           std::to_string(problem.vary.size()));
    for (std::size_t i = 0; i < problem.vary.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VehicleValue &a = problem.vary[i].value, &b = problem.vary[j].value;
            if (a.key == b.key && a.index == b.index)
                throw VehicleError(problem.vary[i].where + ": " + a.name + " varied twice (also as " +
                                   problem.vary[j].where + ")");
        }
    }
    for (std::size_t i = 0; i < problem.require.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const Requirement &a = problem.require[i], &b = problem.require[j];
            if (a.column == b.column && a.bound == b.bound && a.value == b.value)
                throw VehicleError(printable(a.text) + ": required twice (also as " + printable(b.text) + ")");
        }
    }
}

std::int64_t default_samples(std::size_t varied) {
    return samples_per_value * static_cast<std::int64_t>(varied) + samples_more;
}

Optimum optimize(const Problem& problem, int jobs, const std::function<void(const Optimum& best)>& progress,
                 const std::function<bool()>& go_on, const SearchOptions& options) {
    check_problem(problem);
    const Canonical c = canonical(problem);
    const std::size_t n = c.problem.vary.size(), m = c.problem.require.size();
    std::atomic<bool> stop{false};
    auto going = [&] {
        if (!go_on()) stop = true;
        return !stop;
    };
    Record found;
    auto shown = std::chrono::steady_clock::now();
    // The search so far, as its answer would be given.
    auto answer = [&](const Record& record) {
        Optimum best;
        best.found = record.found;
        best.stopped = stop;
        best.runs = record.runs;
        best.gradients = record.gradients;
        if (record.found) {
            best.x.resize(n);
            for (std::size_t k = 0; k < n; ++k) best.x[c.vary_given[k]] = record.x[k];
            best.result = record.result;
        }
        return best;
    };
    auto show = [&](const Record& record) {
        const auto now = std::chrono::steady_clock::now();
        if (!progress || now - shown < std::chrono::milliseconds(200)) return;
        shown = now;
        progress(answer(record));
    };

    // The global stage: the box sampled on the sweep's threads, in a fixed order; a box of more
    // values than a sample can cover, its few well-chosen designs: the vehicle's own (each
    // value put inside the box), the middle, and the two corners.
    const bool sampled_box = n <= most_sampled;
    const std::int64_t samples = !sampled_box ? 4 : options.samples > 0 ? options.samples : default_samples(n);
    std::vector<double> points(static_cast<std::size_t>(samples) * n);
    for (std::int64_t i = 0; i < samples; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            double u = 0.0;
            if (sampled_box) {
                u = radical_inverse(i + 1, primes[k]);
            } else if (i == 0) {
                const Varied& v = c.problem.vary[k];
                const std::size_t real = c.reals[k];
                double own = 0.0;
                std::size_t j = 0;
                Vehicle copy = c.problem.base;
                each_real(c.problem.base, copy, [&](const double& x, double&) {
                    if (j++ == real) own = x;
                });
                u = own <= v.low ? 0.0 : own >= v.high ? 1.0 : (own - v.low) / (v.high - v.low);
            } else {
                u = i == 1 ? 0.5 : i == 2 ? 0.0 : 1.0;
            }
            points[static_cast<std::size_t>(i) * n + k] = u;
        }
    }
    std::vector<StudyResult> sampled(static_cast<std::size_t>(samples));
    std::vector<Verdict> verdicts;
    const std::int64_t studied = run_in_order(
        samples, jobs, 16,
        [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i)
                sampled[static_cast<std::size_t>(i)] =
                    study_vehicle(design(c, values_at(c, &points[static_cast<std::size_t>(i) * n])));
            return std::string();
        },
        [&](std::string&, std::int64_t done) {
            for (auto i = static_cast<std::int64_t>(verdicts.size()); i < done; ++i) {
                const StudyResult& r = sampled[static_cast<std::size_t>(i)];
                verdicts.push_back(judge(c, r));
                found.note(values_at(c, &points[static_cast<std::size_t>(i) * n]), r, verdicts.back());
                ++found.runs;
            }
            show(found);
            return true;
        },
        going);

    // What the local searches see of a design that cannot be flown: an objective worse than
    // any sampled, and the objective's scale that of the best sampled.
    double worst = -std::numeric_limits<double>::infinity(), least = std::numeric_limits<double>::infinity();
    for (const Verdict& v : verdicts) {
        if (!v.flyable) continue;
        worst = std::max(worst, v.objective);
        least = std::min(least, v.objective);
    }
    Evaluator evaluator{c};
    if (std::isfinite(least)) {
        evaluator.objective_scale = std::max(std::fabs(least), std::fabs(worst)) > 0.0
                                        ? std::max(std::fabs(least), std::fabs(worst))
                                        : 1.0;
        evaluator.unflyable = (worst + (worst - least) + std::fabs(worst)) / evaluator.objective_scale + 1.0;
    }

    // The local stage, from the best sampled designs that meet every requirement, then from
    // those that miss them least, each at least a sample spacing from the others.
    std::vector<std::int64_t> order;
    for (std::int64_t i = 0; i < studied; ++i)
        if (verdicts[static_cast<std::size_t>(i)].flyable) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        const Verdict &p = verdicts[static_cast<std::size_t>(a)], &q = verdicts[static_cast<std::size_t>(b)];
        if (p.feasible() != q.feasible()) return p.feasible();
        return p.feasible() ? p.objective < q.objective : p.worst < q.worst;
    });
    const double spacing = sampled_box ? std::pow(static_cast<double>(samples), -1.0 / static_cast<double>(n)) : 0.0;
    std::vector<std::int64_t> chosen;
    // A box of many values starts from the two best of its few designs.
    const std::size_t most_starts = sampled_box ? options.starts : std::min<std::size_t>(options.starts, 2);
    for (std::int64_t i : order) {
        if (chosen.size() == most_starts) break;
        bool apart = true;
        for (std::int64_t j : chosen) {
            double distance = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                distance = std::max(distance, std::fabs(points[static_cast<std::size_t>(i) * n + k] -
                                                        points[static_cast<std::size_t>(j) * n + k]));
            apart = apart && distance >= spacing && distance > 0.0;
        }
        if (apart) chosen.push_back(i);
    }
    std::vector<Record> local_records(chosen.size());
    std::vector<std::exception_ptr> failures(chosen.size());
    if (!stop && studied == samples) {
        run_in_order(
            static_cast<std::int64_t>(chosen.size()), jobs, 1,
            [&](std::int64_t s, std::int64_t) {
                const std::size_t i = static_cast<std::size_t>(s);
                Local local{evaluator, stop, {}, {}, false, {}, false, nullptr, nullptr, {}, {}};
                for (std::size_t j = 0; j < m; ++j)
                    (c.problem.require[j].bound == Bound::equal ? local.equalities : local.inequalities).push_back(j);
                local.inequalities.push_back(m);
                std::vector<double> u(points.begin() + chosen[i] * static_cast<std::int64_t>(n),
                                      points.begin() + (chosen[i] + 1) * static_cast<std::int64_t>(n));
                const nlopt_algorithm algorithm = options.method == LocalMethod::mma     ? NLOPT_LD_MMA
                                                  : options.method == LocalMethod::ccsaq ? NLOPT_LD_CCSAQ
                                                                                         : NLOPT_LD_SLSQP;
                const nlopt_opt opt = nlopt_create(algorithm, static_cast<unsigned>(n));
                if (opt == nullptr) throw std::bad_alloc();
                local.opt = opt;
                nlopt_set_lower_bounds1(opt, 0.0);
                nlopt_set_upper_bounds1(opt, 1.0);
                nlopt_set_min_objective(opt, local_objective, &local);
                {
                    const std::vector<double> tolerances(local.inequalities.size(), 0.0);
                    nlopt_add_inequality_mconstraint(opt, static_cast<unsigned>(local.inequalities.size()),
                                                     local_margins<false>, &local, tolerances.data());
                }
                if (!local.equalities.empty()) {
                    const std::vector<double> tolerances(local.equalities.size(), equality_tolerance / 10.0);
                    nlopt_add_equality_mconstraint(opt, static_cast<unsigned>(local.equalities.size()),
                                                   local_margins<true>, &local, tolerances.data());
                }
                nlopt_set_xtol_rel(opt, 1e-12);
                nlopt_set_xtol_abs1(opt, 1e-12);
                nlopt_set_maxeval(opt, most_local_runs + 10 * static_cast<int>(n));
                double value = 0.0;
                nlopt_optimize(opt, u.data(), &value);
                nlopt_destroy(opt);
                if (!local.failure && !stop) {
                    // Where the search came nearest, with gradients: restored onto its
                    // binding requirements when it is a hair outside them.
                    Point end = local.near_seen ? local.near : local.after(u.data());
                    if (!end.with_gradient) end = local.after(end.u.data());
                    restore(evaluator, end, local.record);
                }
                failures[i] = local.failure;
                local_records[i] = std::move(local.record);
                return std::string();
            },
            [&](std::string&, std::int64_t) { return true; }, going);
    }
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (failures[i]) std::rethrow_exception(failures[i]);
        found.merge(local_records[i]);
    }

    // A value left within a hair of its bound (1e-9 of its box) is put on it, where the
    // design still meets every requirement and is no worse but for rounding.
    // The answer polished where no requirement binds, with those values on their bounds.
    if (found.found && !stop) {
        std::vector<double> u(n);
        for (std::size_t k = 0; k < n; ++k) {
            const Varied& v = c.problem.vary[k];
            u[k] = (found.x[k] - v.low) / (v.high - v.low);
            if (found.x[k] == v.low || found.x[k] - v.low <= 1e-9 * (v.high - v.low)) u[k] = 0.0;
            if (found.x[k] == v.high || v.high - found.x[k] <= 1e-9 * (v.high - v.low)) u[k] = 1.0;
        }
        {
            Record snapped;
            polish(evaluator, u, snapped);
            found.runs += snapped.runs;
            found.gradients += snapped.gradients;
            if (snapped.found && snapped.objective - found.objective <= 1e-12 * std::fabs(found.objective)) {
                found.x = snapped.x;
                found.result = snapped.result;
                found.objective = snapped.objective;
            }
        }
    }

    Optimum best = answer(found);
    best.costs.assign(m, 0.0);
    best.on_bound.assign(n, 0);
    if (best.found) {
        best.vehicle = design(c, found.x);
        std::vector<double> u(n);
        for (std::size_t k = 0; k < n; ++k) {
            const Varied& v = c.problem.vary[k];
            u[k] = found.x[k] == v.low ? 0.0 : found.x[k] == v.high ? 1.0 : (found.x[k] - v.low) / (v.high - v.low);
            best.on_bound[c.vary_given[k]] = found.x[k] == v.low ? -1 : found.x[k] == v.high ? 1 : 0;
        }
        if (m > 0 && !stop) {
            Record aside;
            const Point p = evaluator.at(u.data(), true, aside);
            best.runs += aside.runs;
            best.gradients += aside.gradients;
            const std::vector<double> costs = costs_at(c, p, evaluator.objective_scale);
            for (std::size_t j = 0; j < m; ++j) best.costs[c.require_given[j]] = costs[j];
        }
        best.at_the_cap = best.result.steps == run_step_cap;
        return best;
    }
    if (!found.nearest_seen) {
        best.nearest = "no design in the box can be flown to a located moment (every one leaves the model's "
                       "range or reaches the step cap)";
        return best;
    }
    // The requirement nearest to being met: of those no design met, the one missed least
    // (as a fraction of its value's size); if each was met by some design, though never all
    // at once, the one the design nearest to meeting them all misses most.
    std::size_t nearest = found.nearest.worst_at;
    bool alone = false;
    for (std::size_t j = 0; j < m; ++j) {
        if (found.least_missed[j] > 0.0 && (!alone || found.least_missed[j] < found.least_missed[nearest])) {
            nearest = j;
            alone = true;
        }
    }
    const Requirement& q = c.problem.require[nearest];
    const double figure = alone ? found.least_figure[nearest] : found.nearest.figures[nearest];
    const double missed = alone ? found.least_missed[nearest] : found.nearest.missed[nearest];
    best.nearest_requirement = q.text;
    best.nearest_missed = missed;
    std::string text = "no design in the box meets every requirement; the nearest to being met is " + q.text +
                       ", missed by " + shortest(std::fabs(figure - q.value)) + " (" + shortest(missed) +
                       " times its value's size; " + study_columns[q.column] + " " + shortest(figure) +
                       (alone ? " at best" : " at the design nearest to meeting them all") + ")";
    // A value of the nearest design within a hair of its bound is put on it, where the
    // design misses its requirements no more but for rounding.
    {
        std::vector<double> x = found.nearest_x;
        for (std::size_t k = 0; k < n; ++k) {
            const Varied& v = c.problem.vary[k];
            if (x[k] - v.low <= 1e-9 * (v.high - v.low)) x[k] = v.low;
            if (v.high - x[k] <= 1e-9 * (v.high - v.low)) x[k] = v.high;
        }
        if (x != found.nearest_x) {
            const StudyResult r = study_vehicle(design(c, x));
            const Verdict v = judge(c, r);
            ++best.runs;
            if (v.flyable && v.worst <= found.nearest.worst + 1e-12 * std::fabs(found.nearest.worst)) {
                found.nearest_x = x;
                found.nearest = v;
                found.nearest_result = r;
            }
        }
    }
    best.nearest_found = true;
    best.nearest_x.resize(n);
    for (std::size_t k = 0; k < n; ++k) best.nearest_x[c.vary_given[k]] = found.nearest_x[k];
    best.nearest_vehicle = design(c, found.nearest_x);
    best.nearest_result = found.nearest_result;
    text += "; the design nearest to meeting them all is ";
    for (std::size_t k = 0; k < n; ++k)
        text += (k ? ", " : "") + problem.vary[k].value.name + "=" + shortest(best.nearest_x[k]);
    text += " (";
    for (std::size_t j = 0; j < m; ++j) {
        // Each requirement's figure once, in the order given.
        const std::size_t at = static_cast<std::size_t>(
            std::find(c.require_given.begin(), c.require_given.end(), j) - c.require_given.begin());
        bool repeated = false;
        for (std::size_t i = 0; i < j; ++i) repeated = repeated || problem.require[i].column == problem.require[j].column;
        if (repeated) continue;
        text += std::string(j ? ", " : "") + study_columns[problem.require[j].column] + " " +
                shortest(found.nearest.figures[at]);
    }
    best.nearest = text + ")";
    return best;
}

std::string optimum_header(const Problem& problem) {
    std::string header;
    for (const Varied& v : problem.vary) header += v.value.name + ",";
    header += study_header;
    for (const Requirement& q : problem.require) header += "," + q.text;
    return header + ",note\n";
}

std::string optimum_row(const Optimum& best) {
    std::string row;
    for (double x : best.x) {
        append_real(row, x);
        row += ',';
    }
    row += study_row(best.result);
    for (double cost : best.costs) {
        row += ',';
        append_real(row, cost);
    }
    return row + ",\n";
}

std::string progress_line(const Problem& problem, const Optimum& so_far) {
    std::string line = std::to_string(so_far.runs) + " runs, ";
    double figure = 0.0;
    if (so_far.found && study_figure(so_far.result, problem.objective, figure)) {
        char best[64];
        std::snprintf(best, sizeof best, "%.10g", figure);
        return line + "best " + study_columns[problem.objective] + " " + best;
    }
    return line + (problem.require.empty() ? "no design flown to a located moment yet"
                                           : "no design meets every requirement yet");
}

std::vector<std::string> caveats(const Problem& problem, const Optimum& best) {
    std::vector<std::string> lines;
    if (!best.found) return lines;
    // Elements of one key given one after another on the same bound, one line for them all.
    for (std::size_t k = 0; k < problem.vary.size();) {
        const Varied& v = problem.vary[k];
        std::size_t last = k;
        while (last + 1 < problem.vary.size() && best.on_bound[last + 1] == best.on_bound[k]) {
            const Varied& next = problem.vary[last + 1];
            if (next.value.key != v.value.key || next.value.index != problem.vary[last].value.index + 1 ||
                next.low != v.low || next.high != v.high)
                break;
            ++last;
        }
        if (best.on_bound[k] != 0) {
            const std::string bound = std::string(best.on_bound[k] < 0 ? "lower" : "upper") + " bound, " +
                                      shortest(best.on_bound[k] < 0 ? v.low : v.high);
            lines.push_back(last == k ? v.value.name + " rests on its " + bound + ": a wider box may do better"
                                      : v.value.name + " to " + problem.vary[last].value.name + " rest on their " +
                                            bound + ": a wider box may do better");
        }
        k = last + 1;
    }
    if (best.at_the_cap) {
        lines.push_back("the answer's moment, at t = " + shortest(best.result.event_t) +
                        " s, lies in the last step before the step cap: designs whose moment comes later reach "
                        "the cap and have none, so the answer may be the cap's limit rather than the design's");
    }
    return lines;
}
