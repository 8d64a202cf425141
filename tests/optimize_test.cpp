#include <gtest/gtest.h>

#include <cmath>
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
        bool meets = true;
        for (const Requirement& q : problem.require) {
            double value = 0.0;
            meets = meets && study_figure(r, q.column, value) && (q.at_most ? value <= q.value : value >= q.value);
        }
        double objective = 0.0;
        if (!meets || !study_figure(r, problem.objective, objective)) continue;
        if (!best.found || (problem.maximize ? objective > best.objective : objective < best.objective)) {
            best = {true, objective};
        }
    }
    return best;
}

Problem problem_of(const char* objective, bool maximize, const std::vector<const char*>& vary,
                   const std::vector<const char*>& require) {
    Problem p{built_in_vehicle, smooth_column(objective, "test"), maximize, {}, {}};
    for (const char* v : vary) p.vary.push_back(parse_vary(v));
    for (const char* q : require) p.require.push_back(parse_requirement(q));
    return p;
}

const auto never_shown = [](const Optimum&) {};
const auto go_on = [] { return true; };

// On problems small enough to sweep densely (one and two varied values, 10^4 designs): the
// optimum meets every requirement, lies in the box, is no worse than the sweep's best, holds
// a binding requirement to 1e-6, and is the same for any number of threads.
TEST(Optimize, BeatsADenseSweepOfTheSameBox) {
    const struct {
        const char* what;
        Problem problem;
        std::vector<std::int64_t> counts;
        const char* binding;  // a requirement that binds at the optimum, or none
    } cases[] = {
        {"least energy, distance at least 150 m",
         problem_of("event_w", false, {"mass=20:30"}, {"event_x>=150"}), {10000}, "event_x"},
        {"latest moment, peak power at most 3 kW",
         problem_of("event_t", true, {"mass=20:30"}, {"peak_power<=3000"}), {10000}, "peak_power"},
        {"least energy over wing and propeller, the weight carried at 17.5 m/s or more",
         problem_of("event_w", false, {"wing_area=0.8:1.6", "propeller_thrust[0]=30:60"}, {"event_v>=17.5"}),
         {100, 100}, "event_v"},
    };
    for (const auto& c : cases) {
        const Optimum best = optimize(c.problem, 2, never_shown, go_on);
        ASSERT_TRUE(best.found) << c.what;
        for (std::size_t k = 0; k < best.x.size(); ++k) {
            EXPECT_GE(best.x[k], c.problem.vary[k].low) << c.what;
            EXPECT_LE(best.x[k], c.problem.vary[k].high) << c.what;
        }
        const double objective = figure(best.result, study_columns[c.problem.objective]);
        for (const Requirement& q : c.problem.require) {
            const double value = figure(best.result, study_columns[q.column]);
            EXPECT_TRUE(q.at_most ? value <= q.value : value >= q.value) << c.what << ": " << q.text << " at " << value;
            if (c.binding != nullptr && std::string(study_columns[q.column]) == c.binding) {
                EXPECT_NEAR(value, q.value, 1e-6 * std::fabs(q.value)) << c.what;
            }
        }
        const Dense dense = dense_best(c.problem, c.counts);
        ASSERT_TRUE(dense.found) << c.what;
        if (c.problem.maximize) {
            EXPECT_GE(objective, dense.objective) << c.what;
        } else {
            EXPECT_LE(objective, dense.objective) << c.what;
        }
        // The vehicle returned is the design's, and one thread finds the very same doubles.
        EXPECT_EQ(study_row(study_vehicle(best.vehicle)), study_row(best.result)) << c.what;
        const Optimum alone = optimize(c.problem, 1, never_shown, go_on);
        EXPECT_EQ(alone.x, best.x) << c.what;
        EXPECT_EQ(alone.runs, best.runs) << c.what;
        EXPECT_GT(best.runs, 4096) << c.what;
    }
}

TEST(Optimize, SaysWhichRequirementIsNearestWhenNoneMeetsThemAll) {
    const Optimum none = optimize(problem_of("event_w", false, {"mass=20:30"}, {"event_x<=10", "event_t<=100"}), 2,
                                  never_shown, go_on);
    EXPECT_FALSE(none.found);
    // The lightest aircraft transitions in the shortest distance, 132.98 m.
    EXPECT_EQ(none.nearest,
              "no design in the box meets every requirement; the nearest to being met is event_x<=10, missed by "
              "122.98079794407212 (event_x 132.98079794407212 at best)");
    Problem unflyable = problem_of("event_w", false, {"propeller_thrust[1]=-9:-8"}, {});
    const Optimum never = optimize(unflyable, 2, never_shown, go_on);
    EXPECT_FALSE(never.found);
    EXPECT_EQ(never.nearest.rfind("no design in the box can be flown to a located moment", 0), 0u) << never.nearest;
}

TEST(Optimize, RefusesAProblemThatCannotBePosed) {
    const char* refused[][2] = {
        {"x", "w: x is taken at the end of the stopping step, so it jumps by up to a step as the design moves "
              "that step; use event_x, taken at the located moment"},
        {"alpha", "w: alpha is taken at the end of the stopping step, so it jumps by up to a step as the design "
                  "moves that step; use peak_alpha, taken at the located moment"},
        {"stop", "w: expected one of event_t, event_v, event_x, event_w, peak_thrust, peak_power, peak_alpha, not "
                 "'stop'"},
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
        {"propeller_thrust=1:2", "--vary propeller_thrust=1:2: propeller_thrust has 3 elements: name one"},
    };
    for (const auto& v : vary) {
        try {
            parse_vary(v[0]);
            ADD_FAILURE() << v[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(v[1], 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(parse_vary("mas=1:2"), UnknownKeyError);
    for (const char* bad : {"event_x<200", "event_x=<200", "event_x==200", "event_x<=", "event_x<=1e400", "x<=3"}) {
        EXPECT_THROW(parse_requirement(bad), VehicleError) << bad;
    }
    const Requirement q = parse_requirement("peak_alpha>=-0.5");
    EXPECT_FALSE(q.at_most);
    EXPECT_EQ(q.value, -0.5);
    EXPECT_STREQ(study_columns[q.column], "peak_alpha");

    Problem nine = problem_of("event_w", false, {}, {});
    EXPECT_THROW(check_problem(nine), VehicleError);
    for (const char* v : {"mass=20:30", "wing_area=1:2", "gravity=9:10", "air_density=1:1.3", "lift_rotor_diameter=0.3:0.5",
                          "propeller_thrust[0]=30:50", "propeller_thrust[1]=-2:-1", "angle_of_attack[1]=0:0.001"})
        nine.vary.push_back(parse_vary(v));
    EXPECT_NO_THROW(check_problem(nine));
    nine.vary.push_back(parse_vary("angle_of_attack[2]=0:0.001"));
    EXPECT_THROW(check_problem(nine), VehicleError);
    Problem twice = problem_of("event_w", false, {"mass=20:30", "mass=21:22"}, {});
    EXPECT_THROW(check_problem(twice), VehicleError);
}

}  // namespace
