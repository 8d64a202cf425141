#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <cstdint>
#include <string>
#include <vector>

#include "flight_model/flight_model.h"
#include "optimize/optimize.h"
#include "study/sweep.h"
#include "vehicle_file/vehicle_file.h"

namespace {

double figure(const StudyResult& r, const char* column) {
    double value = std::nan("");
    study_figure(r, smooth_column(column, "test"), value);
    return value;
}

bool meets(const Requirement& q, double value) {
    return q.bound == Bound::at_most ? value <= q.value : q.bound == Bound::at_least ? value >= q.value
                                                                                     : std::fabs(value - q.value) <= 1e-10 * std::fabs(q.value);
}

// The best design of a dense sweep of the same box that meets every requirement: the
// optimiser's answer must be no worse.
struct Dense {
    bool found = false;
    double objective = 0.0;
};
Dense dense_best(const Problem& problem, const std::vector<std::int64_t>& counts) {
    std::vector<Sweep> sweeps;
    for (std::size_t k = 0; k < problem.vary.size(); ++k) {
        const Varied& v = problem.vary[k];
        sweeps.push_back(parse_sweep(v.value.name + "=" + std::to_string(v.low) + ":" + std::to_string(v.high) + ":" +
                                     std::to_string(counts[k])));
    }
    const Grid grid(problem.base, sweeps);
    std::vector<StudyResult> results(static_cast<std::size_t>(grid.size()));
    study_grid(grid, {0, grid.size()}, 2, results.data(), [] { return true; });
    Dense best;
    for (const StudyResult& r : results) {
        if (!r.located) continue;
        bool all = true;
        for (const Requirement& q : problem.require) {
            double value = 0.0;
            all = all && study_figure(r, q.column, value) && meets(q, value);
        }
        double objective = 0.0;
        if (!all || !study_figure(r, problem.objective, objective)) continue;
        if (!best.found || (problem.maximize ? objective > best.objective : objective < best.objective)) {
            best = {true, objective};
        }
    }
    return best;
}

Problem problem_of(const char* objective, bool maximize, const std::vector<const char*>& vary,
                   const std::vector<const char*>& require) {
    Problem p{built_in_vehicle, smooth_column(objective, "test"), maximize, {}, {}};
    for (const char* v : vary)
        for (const Varied& each : parse_varied(v, p.base)) p.vary.push_back(each);
    for (const char* q : require) p.require.push_back(parse_requirement(q));
    return p;
}

const auto never_shown = [](const Optimum&) {};
const auto go_on = [] { return true; };

// Re-optimised with requirement j's value moved by +-step: the central difference of the
// objective, an independent measure of what the requirement costs.
double cost_by_moving(const Problem& problem, std::size_t j, double step) {
    double objective[2];
    for (int side = 0; side < 2; ++side) {
        Problem moved = problem;
        moved.require[j].value += side == 0 ? step : -step;
        const Optimum best = optimize(moved, 2, never_shown, go_on);
        EXPECT_TRUE(best.found);
        objective[side] = figure(best.result, study_columns[problem.objective]);
    }
    return (objective[0] - objective[1]) / (2.0 * step);
}

// On problems small enough to sweep densely (one and two varied values, 10^4 designs): the
// optimum meets every requirement, lies in the box, is no worse than the sweep's best, holds
// a binding requirement to 1e-10 of its value, costs what re-optimising with the value moved
// both ways says (a requirement that does not bind costs exactly 0), and is the same for 1,
// 2 and 3 threads.
TEST(Optimize, BeatsADenseSweepOfTheSameBox) {
    const struct {
        const char* what;
        Problem problem;
        std::vector<std::int64_t> counts;
        const char* binding;  // a requirement that binds at the optimum, or none
    } cases[] = {
        {"least energy, distance at least 150 m",
         problem_of("event_w", false, {"mass=20:30"}, {"event_x>=150", "event_t<=100"}), {10000}, "event_x>=150"},
        {"latest moment, peak power at most 3 kW",
         problem_of("event_t", true, {"mass=20:30"}, {"peak_power<=3000"}), {10000}, "peak_power<=3000"},
        {"least energy over wing and propeller, the weight carried at 17.5 m/s or more",
         problem_of("event_w", false, {"wing_area=0.8:1.6", "propeller_thrust[0]=30:60"}, {"event_v>=17.5"}),
         {100, 100}, "event_v>=17.5"},
    };
    for (const auto& c : cases) {
        const Optimum best = optimize(c.problem, 2, never_shown, go_on);
        ASSERT_TRUE(best.found) << c.what;
        for (std::size_t k = 0; k < best.x.size(); ++k) {
            EXPECT_GE(best.x[k], c.problem.vary[k].low) << c.what;
            EXPECT_LE(best.x[k], c.problem.vary[k].high) << c.what;
        }
        const double objective = figure(best.result, study_columns[c.problem.objective]);
        ASSERT_EQ(best.costs.size(), c.problem.require.size());
        for (std::size_t j = 0; j < c.problem.require.size(); ++j) {
            const Requirement& q = c.problem.require[j];
            const double value = figure(best.result, study_columns[q.column]);
            EXPECT_TRUE(meets(q, value)) << c.what << ": " << q.text << " at " << value;
            if (q.text != c.binding) {
                EXPECT_EQ(best.costs[j], 0.0) << c.what << ": " << q.text;
                continue;
            }
            EXPECT_NEAR(value, q.value, 1e-10 * std::fabs(q.value)) << c.what;
            const double moved = cost_by_moving(c.problem, j, 1e-3 * std::fabs(q.value));
            EXPECT_NE(best.costs[j], 0.0) << c.what;
            EXPECT_NEAR(best.costs[j], moved, 0.03 * std::fabs(moved)) << c.what << ": " << q.text;
        }
        const Dense dense = dense_best(c.problem, c.counts);
        ASSERT_TRUE(dense.found) << c.what;
        if (c.problem.maximize) {
            EXPECT_GE(objective, dense.objective) << c.what;
        } else {
            EXPECT_LE(objective, dense.objective) << c.what;
        }
        // The vehicle returned is the design's, and any number of threads finds the very
        // same doubles.
        EXPECT_EQ(study_row(study_vehicle(best.vehicle)), study_row(best.result)) << c.what;
        for (int jobs : {1, 3}) {
            const Optimum again = optimize(c.problem, jobs, never_shown, go_on);
            EXPECT_EQ(again.x, best.x) << c.what << ", " << jobs << " threads";
            EXPECT_EQ(again.costs, best.costs) << c.what << ", " << jobs << " threads";
            EXPECT_EQ(again.runs, best.runs) << c.what << ", " << jobs << " threads";
        }
    }
}

// Problems on which a search by samples and a derivative-free local method fell short, each
// against the design known to do better: a requirement's narrow band, met by no sample, and
// an equality; an optimum at the step cap, where the designs beyond have no located moment;
// an optimum on the box's bound, which is put exactly on it and said so.
TEST(Optimize, FindsOptimaInABandAtTheCapAndOnABound) {
    const std::vector<const char*> schedule = {"angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001",
                                               "angle_of_attack[3]=0:0.0001"};
    // In the band, 199.99 m to 200 m: --set 'angle_of_attack[2]=0.0004268' alone gives
    // 27,206.81 J at 199.993 m.
    const Optimum band = optimize(problem_of("event_w", false, schedule, {"event_x>=199.99", "event_x<=200"}), 2,
                                  never_shown, go_on);
    ASSERT_TRUE(band.found);
    EXPECT_LE(figure(band.result, "event_w"), 27206.81);
    EXPECT_GE(figure(band.result, "event_x"), 199.99);
    EXPECT_LE(figure(band.result, "event_x"), 200.0);
    const Optimum equal = optimize(problem_of("event_w", false, schedule, {"event_x==200"}), 2, never_shown, go_on);
    ASSERT_TRUE(equal.found);
    EXPECT_NEAR(figure(equal.result, "event_x"), 200.0, 200.0 * 1e-10);
    EXPECT_LE(figure(equal.result, "event_w"), 27207.2);
    // Each metre more costs what the band's two ends say: 27,207.13 J at 200 m, 27,206.69 J at 199.99 m.
    EXPECT_NEAR(equal.costs[0], (figure(equal.result, "event_w") - figure(band.result, "event_w")) / 0.01, 0.5);

    // The farthest distance before the cap: mass 32, angle_of_attack[0] = -0.06676083567596153 and
    // angle_of_attack[2] = -3.138127200474921e-05 give 751.53 m, the moment 0.1 ns before the cap.
    const Problem far = problem_of("event_x", true,
                                   {"mass=18.0:32.0", "angle_of_attack[0]=-0.2:0.05", "angle_of_attack[2]=-0.0005:0.001"},
                                   {"event_w>=25416.8", "event_v>=16.4326"});
    const Optimum farthest = optimize(far, 2, never_shown, go_on);
    ASSERT_TRUE(farthest.found);
    EXPECT_GE(figure(farthest.result, "event_x"), 751.5);
    EXPECT_TRUE(farthest.at_the_cap);
    EXPECT_NE(caveats(far, farthest).back().find("lies in the last step before the step cap"), std::string::npos);

    // Least peak power: as much wing as the box allows, so that less propeller thrust still
    // brings the aircraft to its moment within the cap.
    const Problem power = problem_of("peak_power", false, {"wing_area=0.8:2.4", "propeller_thrust[0]=20:40"}, {});
    const Optimum least = optimize(power, 2, never_shown, go_on);
    ASSERT_TRUE(least.found);
    EXPECT_EQ(least.x[0], 2.4);
    EXPECT_EQ(least.on_bound, (std::vector<int>{1, 0}));
    EXPECT_EQ(caveats(power, least).front(), "wing_area rests on its upper bound, 2.4: a wider box may do better");
}

// The least-energy table of 26 knots, 0 to 25 m/s, from the hover angle up to 12 degrees, the
// moment within 250 m: about 20,560 J, found from the vehicle's own schedule and the box's
// middle; every knot within its bounds, the same design on one thread as on two, and its
// vehicle file runs to the same row.
TEST(Optimize, ATableOfKnotsIsOptimisedKnotByKnot) {
    Vehicle p = built_in_vehicle;
    std::vector<double> speeds;
    for (int i = 0; i <= 25; ++i) speeds.push_back(i);
    assign_table(speeds, std::vector<double>(26, -0.040786), p);
    Problem problem{p, smooth_column("event_w", "test"), false, parse_varied("schedule_angle=-0.040786:0.2094", p),
                    {parse_requirement("event_x<=250")}};
    const Optimum best = optimize(problem, 2, never_shown, go_on);
    ASSERT_TRUE(best.found);
    EXPECT_LE(figure(best.result, "event_w"), 20580.0);
    EXPECT_LE(figure(best.result, "event_x"), 250.0);
    for (double x : best.x) {
        EXPECT_GE(x, -0.040786);
        EXPECT_LE(x, 0.2094);
    }
    EXPECT_LT(best.runs, 200);  // a few local searches on exact gradients, no sample of the box
    const Optimum alone = optimize(problem, 1, never_shown, go_on);
    EXPECT_EQ(alone.x, best.x);
    Vehicle back = built_in_vehicle;
    const std::string path = ::testing::TempDir() + "best-table.toml";
    std::ofstream(path) << vehicle_file_text(best.vehicle);
    read_vehicle_file(path, back);
    EXPECT_EQ(study_row(study_vehicle(back)), study_row(best.result));
    // Held at the hover angle while the propeller accelerates the aircraft, then raised to the limit.
    EXPECT_EQ(best.vehicle.schedule.angles[0], -0.040786);
    EXPECT_EQ(*std::max_element(best.vehicle.schedule.angles.begin(), best.vehicle.schedule.angles.end()), 0.2094);
}

// The same problem however its values and requirements are ordered: the same design, its
// values and costs reported in the order given.
TEST(Optimize, TheOrderOfValuesAndRequirementsChangesNothing) {
    const Problem given = problem_of("event_w", false,
                                     {"angle_of_attack[1]=0:0.01", "angle_of_attack[2]=0:0.001", "angle_of_attack[3]=0:0.0001"},
                                     {"peak_alpha<=0.12", "event_x<=250"});
    const Problem reversed = problem_of("event_w", false,
                                        {"angle_of_attack[3]=0:0.0001", "angle_of_attack[2]=0:0.001", "angle_of_attack[1]=0:0.01"},
                                        {"event_x<=250", "peak_alpha<=0.12"});
    const Optimum a = optimize(given, 2, never_shown, go_on), b = optimize(reversed, 1, never_shown, go_on);
    ASSERT_TRUE(a.found && b.found);
    EXPECT_EQ(study_row(a.result), study_row(b.result));
    EXPECT_EQ(a.x, (std::vector<double>{b.x[2], b.x[1], b.x[0]}));
    EXPECT_EQ(a.costs, (std::vector<double>{b.costs[1], b.costs[0]}));
    EXPECT_LT(a.costs[0], 0.0);  // the stall limit binds
    EXPECT_EQ(a.costs[1], 0.0);
    EXPECT_EQ(optimum_header(given),
              "angle_of_attack[1],angle_of_attack[2],angle_of_attack[3]," + std::string(study_header) +
                  ",peak_alpha<=0.12,event_x<=250,note\n");
}

// A search asked to stop ends at once with what it has.
TEST(Optimize, StopsWhenAskedWithWhatItHas) {
    int asked = 0;
    const Optimum cut = optimize(problem_of("event_w", false, {"mass=20:30"}, {"event_x>=150"}), 1, never_shown,
                                 [&] { return ++asked < 3; });
    EXPECT_TRUE(cut.stopped);
    EXPECT_LT(cut.runs, default_samples(1));
    EXPECT_GT(cut.runs, 0);
}

TEST(Optimize, SaysWhichRequirementIsNearestWhenNoneMeetsThemAll) {
    // Each alone out of reach: the lightest aircraft transitions in the shortest distance,
    // 132.98 m, 12.3 times 10 m too far, with the least peak angle, 0.0475 rad, 3.75 times
    // 0.01 too high: the angle's is the nearest to being met.
    const Optimum none = optimize(
        problem_of("event_w", false, {"mass=20:30"}, {"event_x<=10", "peak_alpha<=0.01", "event_t<=100"}), 2,
        never_shown, go_on);
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.nearest,
              "no design in the box meets every requirement; the nearest to being met is peak_alpha<=0.01, missed by "
              "0.037513134549163184 (3.7513134549163185 times its value's size; peak_alpha 0.047513134549163186 at "
              "best); the design nearest to meeting them all is mass=20 (event_x 132.98079794407212, peak_alpha "
              "0.047513134549163186, event_t 12.451732035799887)");
    ASSERT_TRUE(none.nearest_found);
    EXPECT_EQ(none.nearest_x, std::vector<double>{20.0});
    EXPECT_EQ(none.nearest_vehicle.m, 20.0);
    EXPECT_EQ(study_row(none.nearest_result), study_row(study_vehicle(none.nearest_vehicle)));
    // Each within reach alone, never both at once: the one the nearest design misses.
    const Optimum apart = optimize(problem_of("event_w", false, {"mass=20:30"}, {"event_x>=150", "peak_alpha<=0.05"}),
                                   2, never_shown, go_on);
    EXPECT_FALSE(apart.found);
    EXPECT_NE(apart.nearest.find("at the design nearest to meeting them all"), std::string::npos) << apart.nearest;
    Problem unflyable = problem_of("event_w", false, {"propeller_thrust[1]=-9:-8"}, {});
    const Optimum never = optimize(unflyable, 2, never_shown, go_on);
    EXPECT_FALSE(never.found);
    EXPECT_FALSE(never.nearest_found);
    EXPECT_EQ(never.nearest.rfind("no design in the box can be flown to a located moment", 0), 0u) << never.nearest;
}

TEST(Optimize, RefusesAProblemThatCannotBePosed) {
    const char* refused[][2] = {
        {"x", "w: x is taken at the end of the stopping step, so it jumps by up to a step as the design moves "
              "that step; use event_x, taken at the located moment"},
        {"alpha", "w: alpha is taken at the end of the stopping step, so it jumps by up to a step as the design "
                  "moves that step; use peak_alpha, taken at the located moment"},
        {"stop", "w: expected one of event_t, event_v, event_x, event_w, peak_thrust, peak_power, peak_alpha, "
                 "peak_pitch_rate, peak_acceleration, not 'stop'"},
    };
    for (const auto& r : refused) {
        try {
            smooth_column(r[0], "w");
            ADD_FAILURE() << r[0];
        } catch (const VehicleError& e) {
            EXPECT_STREQ(e.what(), r[1]);
        }
    }
    const char* vary[][2] = {
        {"mass=30:20", "--vary mass=30:20: expected LOW < HIGH"},
        {"mass=20:20", "--vary mass=20:20: expected LOW < HIGH"},
        {"mass=-1:20", "--vary mass=-1:20: mass: must be greater than 0, not -1"},
        {"mass=1:2:3", "--vary mass=1:2:3: expected KEY=LOW:HIGH"},
        {"mass=1:nan", "--vary mass=1:nan: 'nan' is not a finite number"},
        {"lift_rotors=2:6", "--vary lift_rotors=2:6: lift_rotors is a whole number and cannot be varied; sweep it "
                            "instead (--sweep lift_rotors=3,4,6)"},
    };
    for (const auto& v : vary) {
        try {
            parse_varied(v[0], built_in_vehicle);
            ADD_FAILURE() << v[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(v[1], 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(parse_varied("mas=1:2", built_in_vehicle), UnknownKeyError);
    const std::vector<Varied> each = parse_varied("propeller_thrust=1:2", built_in_vehicle);
    ASSERT_EQ(each.size(), 3u);
    EXPECT_EQ(each[2].value.name, "propeller_thrust[2]");
    EXPECT_EQ(each[2].value.index, 2);
    for (const char* bad : {"event_x<200", "event_x=<200", "event_x=200", "event_x<=", "event_x<=1e400", "x<=3",
                            "event_x!=3"}) {
        EXPECT_THROW(parse_requirement(bad), VehicleError) << bad;
    }
    const Requirement q = parse_requirement("peak_alpha>=-0.5");
    EXPECT_EQ(q.bound, Bound::at_least);
    EXPECT_EQ(q.value, -0.5);
    EXPECT_STREQ(study_columns[q.column], "peak_alpha");
    EXPECT_EQ(parse_requirement("event_x==200").bound, Bound::equal);
    Problem again = problem_of("event_w", false, {"mass=20:30"}, {"event_x<=200", "event_x<=2e2"});
    EXPECT_THROW(check_problem(again), VehicleError);

    Problem none = problem_of("event_w", false, {}, {});
    EXPECT_THROW(check_problem(none), VehicleError);
    // At most 256 values: every knot of a table of 256, not of 257.
    for (std::size_t knots : {std::size_t(256), std::size_t(257)}) {
        Vehicle table = built_in_vehicle;
        std::vector<double> speeds, angles(knots, 0.0);
        for (std::size_t i = 0; i < knots; ++i) speeds.push_back(0.1 * static_cast<double>(i));
        assign_table(speeds, angles, table);
        Problem many{table, smooth_column("event_w", "test"), false, parse_varied("schedule_angle=0:0.1", table), {}};
        ASSERT_EQ(many.vary.size(), knots);
        EXPECT_EQ(many.vary[255].value.name, "schedule_angle[255]");
        if (knots == 256) {
            EXPECT_NO_THROW(check_problem(many));
        } else {
            EXPECT_THROW(check_problem(many), VehicleError);
        }
    }
    // A knot's bounds are checked on the vehicle's own table: a speed may not pass its neighbour's.
    Vehicle table = built_in_vehicle;
    assign_table({0, 10, 20}, {0, 0.1, 0.1}, table);
    EXPECT_THROW(parse_varied("schedule_speed[1]=5:25", table), VehicleError);
    EXPECT_THROW(parse_varied("schedule_angle=0:0.1", built_in_vehicle), VehicleError);
    Problem twice = problem_of("event_w", false, {"mass=20:30", "mass=21:22"}, {});
    EXPECT_THROW(check_problem(twice), VehicleError);
}

}  // namespace
