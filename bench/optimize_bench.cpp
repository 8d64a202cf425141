// How large the optimiser's global sample needs to be: problems of one to eight values, each
// solved with samples of 8 to 256 designs per value (and as many more), against the best
// answer known for it: a dense sweep's where the box is small enough to sweep (one to three
// values), and the best of every sample size tried, 16 local searches from 4,096 samples
// among them, for all. A sample finds the optimum when its answer is within 1e-9 of the best.
//   cmake --build build-bench --target optimize_bench && build-bench/bench/optimize_bench
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "flight_model/flight_model.h"
#include "optimize/optimize.h"
#include "study/sweep.h"

namespace {

struct Case {
    const char* name;
    const char* objective;
    bool maximize;
    std::vector<const char*> vary, require;
    int per_side;  // of a dense sweep, 0 for none
};

const std::vector<const char*> schedule = {"angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001",
                                           "angle_of_attack[3]=0:0.0001"};
const Case cases[] = {
    {"least energy, 150 m", "event_w", false, {"mass=20:30"}, {"event_x>=150"}, 10000},
    {"latest moment, 3 kW", "event_t", true, {"mass=20:30"}, {"peak_power<=3000"}, 10000},
    {"wing and propeller", "event_w", false, {"wing_area=0.8:1.6", "propeller_thrust[0]=30:60"}, {"event_v>=17.5"}, 100},
    {"peak power, wing", "peak_power", false, {"wing_area=0.8:2.4", "propeller_thrust[0]=20:40"}, {}, 100},
    {"worked schedule", "event_w", false, schedule, {"peak_alpha<=0.2094", "event_x<=250"}, 22},
    {"stall at 0.12", "event_w", false, schedule, {"peak_alpha<=0.12", "event_x<=250"}, 22},
    {"band 199.99-200 m", "event_w", false, schedule, {"event_x>=199.99", "event_x<=200"}, 0},
    {"farthest before the cap", "event_x", true,
     {"mass=18.0:32.0", "angle_of_attack[0]=-0.2:0.05", "angle_of_attack[2]=-0.0005:0.001"},
     {"event_w>=25416.8", "event_v>=16.4326"}, 0},
    {"four values", "event_w", false,
     {"angle_of_attack[0]=-0.1:0", "angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001", "angle_of_attack[3]=0:0.0001"},
     {"peak_alpha<=0.2094", "event_x<=250"}, 0},
    {"six values", "event_w", false,
     {"mass=20:30", "wing_area=0.8:1.6", "angle_of_attack[0]=-0.1:0", "angle_of_attack[1]=0:0.01",
      "angle_of_attack[2]=0:0.001", "angle_of_attack[3]=0:0.0001"},
     {"peak_alpha<=0.2094", "event_x<=250", "event_t>=12"}, 0},
    {"eight values", "event_w", false,
     {"mass=20:30", "wing_area=0.8:1.6", "propeller_thrust[0]=30:60", "angle_of_attack[0]=-0.1:0",
      "angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001", "angle_of_attack[3]=0:0.0001",
      "lift_rotor_diameter=0.3:0.6"},
     {"event_x<=250", "peak_alpha<=0.2094"}, 0},
    {"eight values, least peak power", "peak_power", false,
     {"mass=20:30", "wing_area=0.8:1.6", "propeller_thrust[0]=30:60", "propeller_thrust[1]=-2:-0.5",
      "angle_of_attack[0]=-0.1:0.05", "angle_of_attack[1]=0:0.01", "lift_coefficient[1]=4:7",
      "lift_rotor_diameter=0.3:0.6"},
     {"event_x<=300", "event_t<=30"}, 0},
};

double objective(const Problem& problem, const StudyResult& r) {
    double value = 0.0;
    study_figure(r, problem.objective, value);
    return value;
}

// The best design of a dense sweep meeting every requirement, or NaN.
double dense_best(const Problem& problem, int per_side) {
    std::vector<Sweep> sweeps;
    for (const Varied& v : problem.vary) {
        char text[200];
        std::snprintf(text, sizeof text, "%s=%.17g:%.17g:%d", v.value.name.c_str(), v.low, v.high, per_side);
        sweeps.push_back(parse_sweep(text));
    }
    const Grid grid(problem.base, sweeps);
    std::vector<StudyResult> results(static_cast<std::size_t>(grid.size()));
    study_grid(grid, {0, grid.size()}, 2, results.data(), [] { return true; });
    double best = std::nan("");
    for (const StudyResult& r : results) {
        if (!r.located) continue;
        bool meets = true;
        for (const Requirement& q : problem.require) {
            double value = 0.0;
            study_figure(r, q.column, value);
            meets = meets && (q.bound == Bound::at_most ? value <= q.value : value >= q.value);
        }
        const double f = objective(problem, r);
        if (meets && (std::isnan(best) || (problem.maximize ? f > best : f < best))) best = f;
    }
    return best;
}

}  // namespace

int main() {
    const int per_value[] = {8, 16, 32, 64, 128, 256};
    std::printf("%-32s %6s", "problem", "dense");
    for (int s : per_value) std::printf(" %10d/value", s);
    std::printf("\n");
    int missed[sizeof per_value / sizeof per_value[0]] = {};
    for (const Case& c : cases) {
        Problem problem{built_in_vehicle, smooth_column(c.objective, "bench"), c.maximize, {}, {}};
        for (const char* v : c.vary)
            for (const Varied& each : parse_varied(v, problem.base)) problem.vary.push_back(each);
        for (const char* q : c.require) problem.require.push_back(parse_requirement(q));
        const std::size_t n = problem.vary.size();
        const double dense = c.per_side > 0 ? dense_best(problem, c.per_side) : std::nan("");
        std::vector<double> found;
        std::vector<double> took;
        for (int s : per_value) {
            SearchOptions options;
            options.samples = s * static_cast<std::int64_t>(n) + s;
            const auto start = std::chrono::steady_clock::now();
            const Optimum best = optimize(problem, 2, nullptr, [] { return true; }, options);
            took.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            found.push_back(best.found ? objective(problem, best.result) : std::nan(""));
        }
        SearchOptions thorough;
        thorough.samples = 4096;
        thorough.starts = 16;
        const Optimum reference = optimize(problem, 2, nullptr, [] { return true; }, thorough);
        double known = reference.found ? objective(problem, reference.result) : std::nan("");
        for (double f : found)
            if (!std::isnan(f) && (std::isnan(known) || (c.maximize ? f > known : f < known))) known = f;
        if (!std::isnan(dense) && (c.maximize ? dense > known : dense < known)) known = dense;
        std::printf("%-32s %6s", c.name, std::isnan(dense) ? "-" : "yes");
        for (std::size_t i = 0; i < found.size(); ++i) {
            const bool hit = !std::isnan(found[i]) && std::fabs(found[i] - known) <= 1e-9 * std::fabs(known);
            if (!hit) ++missed[i];
            if (hit) std::printf(" found %6.3f s  ", took[i]); else std::printf(" %8.1e %5.3f s", std::fabs(found[i] - known) / std::fabs(known), took[i]);
        }
        std::printf("  best %.12g\n", known);
    }
    std::printf("%-32s %6s", "problems missed", "");
    for (int m : missed) std::printf(" %15d", m);
    std::printf("\n");
    return 0;
}
