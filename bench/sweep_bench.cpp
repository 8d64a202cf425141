// Designs per second of a 10,000-design sweep of mass from 20 to 30 kg: the study's own
// sweep on one thread and on two, beside a plain C loop over the same designs on one
// thread, and two plain loops side by side (each over every other design, so both halves
// cost the same), the limits on this machine. All four are timed in the same run, in
// turn, five times over, and each keeps its best time: the machine's cores are shared,
// and what slows one round is not the code. Every sweep row must hold the plain loop's
// final state, to the double.
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTRANSITION_BENCH=ON
//   cmake --build build-bench --target sweep_bench && build-bench/bench/sweep_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "flight_model/flight_model.h"
#include "study/study.h"
#include "study/sweep.h"

extern "C" void plain_design(double m, double final_state[3]);

namespace {

constexpr int designs = 10000;

template <class Work>
double seconds(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The plain loop over designs first, first + step, ...; returns a checksum of the states.
double plain(const Sweep& masses, int first, int step, std::vector<double>* finals) {
    double sum = 0.0, y[3];
    for (int i = first; i < designs; i += step) {
        plain_design(masses.at(i), y);
        sum += y[0];
        if (finals) finals->push_back(y[0]);
    }
    return sum;
}

}  // namespace

int main() {
    const Sweep masses = parse_sweep("mass=20:30:" + std::to_string(designs));
    const Grid grid(built_in_vehicle, {masses});
    // The rows go to /dev/null through stdio, as transition-study writes them.
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null == nullptr) return 1;
    const auto to_null = [null](std::string_view rows) {
        return std::fwrite(rows.data(), 1, rows.size(), null) == rows.size();
    };
    const auto go_on = [] { return true; };

    std::vector<double> finals;
    volatile double sink = 0.0;
    double one_plain = 1e9, jobs1 = 1e9, two_plain = 1e9, jobs2 = 1e9;
    for (int round = 0; round < 5; ++round) {
        finals.clear();
        one_plain = std::min(one_plain, seconds([&] { sink = plain(masses, 0, 1, &finals); }));
        jobs1 = std::min(jobs1, seconds([&] { run_sweep(grid, {0, designs}, 1, to_null, go_on, nullptr); }));
        double halves[2];
        two_plain = std::min(two_plain, seconds([&] {
                                 std::thread other([&] { halves[1] = plain(masses, 1, 2, nullptr); });
                                 halves[0] = plain(masses, 0, 2, nullptr);
                                 other.join();
                             }));
        jobs2 = std::min(jobs2, seconds([&] { run_sweep(grid, {0, designs}, 2, to_null, go_on, nullptr); }));
        sink = sink + halves[0] + halves[1];
    }

    int differing = 0;
    for (int i = 0; i < designs; i += 97) {
        Vehicle v = built_in_vehicle;
        v.m = masses.at(i);
        if (study_vehicle(v).y[0] != finals[static_cast<std::size_t>(i)]) ++differing;
    }
    std::printf("%d designs, mass 20 to 30 kg; designs per second, best of 5 rounds:\n", designs);
    std::printf("  plain C loop, one thread         %10.0f\n", designs / one_plain);
    std::printf("  transition-study --jobs 1        %10.0f  (%.1f %% of the plain loop)\n", designs / jobs1,
                100.0 * one_plain / jobs1);
    std::printf("  two plain C loops side by side   %10.0f\n", designs / two_plain);
    std::printf("  transition-study --jobs 2        %10.0f  (%.1f %% of the two plain loops)\n", designs / jobs2,
                100.0 * two_plain / jobs2);
    std::printf("  final speeds differing from the plain loop's (every 97th design): %d\n", differing);
    std::fclose(null);
    return differing == 0 ? 0 : 1;
}
