// The cost of exact derivatives and of the optimiser, each against the work it replaces, timed
// in the same run, in turn, each the best of its rounds (the machine's cores are shared, and
// what slows one round is not the code):
//   - the whole table of derivatives of the built-in aircraft (every smooth figure with
//     respect to each of its 17 real values) against one run;
//   - the worked optimisation of docs/optimisation.md on one thread against a sweep of 4,096
//     designs on one thread, and its answer against the one the sweep finds best.
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTRANSITION_BENCH=ON
//   cmake --build build-bench --target derivatives_bench && build-bench/bench/derivatives_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "derivatives/derivatives.h"
#include "flight_model/flight_model.h"
#include "optimize/optimize.h"
#include "study/study.h"
#include "study/sweep.h"

namespace {

template <class Work>
double seconds(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    const Vehicle p = built_in_vehicle;
    std::vector<std::size_t> all(real_count(p));
    for (std::size_t j = 0; j < all.size(); ++j) all[j] = j;

    // One run and the whole table, 200 of each per round, in turn.
    double run = 1e9, table = 1e9;
    StudyResult r{};
    StudyDerivatives d{};
    for (int round = 0; round < 10; ++round) {
        run = std::min(run, seconds([&] {
                           for (int i = 0; i < 200; ++i) r = study_vehicle(p);
                       }) / 200);
        table = std::min(table, seconds([&] {
                             for (int i = 0; i < 200; ++i) d = study_derivatives(p, all);
                         }) / 200);
    }
    std::printf("one run                          %8.1f us\n", run * 1e6);
    std::printf("the table of derivatives (%zu values) %6.1f us, %.2f times one run\n", all.size(), table * 1e6,
                table / run);
    if (study_row(d.result) != study_row(r)) {
        std::fprintf(stderr, "derivatives_bench: the run on dual numbers is not the run\n");
        return 1;
    }

    // The worked optimisation against a sweep of 4,096 designs, on one thread each.
    Problem problem{p, smooth_column("event_w", "bench"), false, {}, {}};
    for (const char* v : {"angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001", "angle_of_attack[3]=0:0.0001"})
        for (const Varied& each : parse_varied(v, problem.base)) problem.vary.push_back(each);
    for (const char* q : {"peak_alpha<=0.2094", "event_x<=250"}) problem.require.push_back(parse_requirement(q));
    const Grid grid(p, {parse_sweep("angle_of_attack[1]=0:0.01:16"), parse_sweep("angle_of_attack[2]=0:0.001:16"),
                        parse_sweep("angle_of_attack[3]=0:0.0001:16")});
    std::vector<StudyResult> swept(static_cast<std::size_t>(grid.size()));
    double sweep = 1e9, search = 1e9;
    Optimum best;
    for (int round = 0; round < 5; ++round) {
        sweep = std::min(sweep, seconds([&] { study_grid(grid, {0, grid.size()}, 1, swept.data(), [] { return true; }); }));
        search = std::min(search, seconds([&] { best = optimize(problem, 1, nullptr, [] { return true; }); }));
    }
    double swept_best = 1e300;
    for (const StudyResult& s : swept) {
        double w = 0.0, alpha = 0.0, x = 0.0;
        if (s.located && study_figure(s, study_column("event_w"), w) && study_figure(s, study_column("peak_alpha"), alpha) &&
            study_figure(s, study_column("event_x"), x) && alpha <= 0.2094 && x <= 250)
            swept_best = std::min(swept_best, w);
    }
    double w = 0.0;
    study_figure(best.result, study_column("event_w"), w);
    std::printf("a sweep of %lld designs             %8.3f s, its best %.17g J\n", static_cast<long long>(grid.size()),
                sweep, swept_best);
    std::printf("the optimisation (%lld runs, %lld with derivatives) %6.3f s, %.2f times the sweep, %.17g J\n",
                static_cast<long long>(best.runs), static_cast<long long>(best.gradients), search, search / sweep, w);
    return 0;
}
