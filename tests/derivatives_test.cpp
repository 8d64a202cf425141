#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "derivatives/derivatives.h"
#include "flight_model/flight_model.h"
#include "study/study.h"
#include "transition_run/calk.h"
#include "vehicle_file/vehicle_file.h"

namespace {

Vehicle vehicle_with(const std::vector<std::string>& settings) {
    Vehicle p = built_in_vehicle;
    for (const std::string& s : settings) apply_setting(s, p);
    return p;
}

std::vector<std::size_t> every_value(const Vehicle& p) {
    std::vector<std::size_t> all(real_value_names(p).size());
    for (std::size_t j = 0; j < all.size(); ++j) all[j] = j;
    return all;
}

// Value j of p, set to x.
Vehicle with_value(const Vehicle& p, std::size_t j, double x) {
    Vehicle v = p;
    set_value(find_value(real_value_names(p)[j], "test"), x, v, "test");
    return v;
}
double value(const Vehicle& p, std::size_t j) {
    double x = 0.0;
    std::size_t k = 0;
    Vehicle copy = p;
    each_real(p, copy, [&](const double& a, double&) {
        if (k++ == j) x = a;
    });
    return x;
}

struct Case {
    const char* what;
    std::vector<std::string> settings;
    Stop stop;
};

}  // namespace

// Every entry of the table against central differences of the row's own figures (the
// doubles the command prints in 17 digits), taken here at two step sizes: wherever the two
// agree with each other, so that neither straddles a jump of the discrete scheme (a change
// of the step in which the moment lies), the derivative agrees with them to 1e-5.
TEST(Derivatives, AgreeWithCentralDifferencesOfTheFigures) {
    const Case cases[] = {
        {"the built-in aircraft, its rotors idle from two steps before the stop", {}, Stop::lift},
        {"a stop by speed", {"wing_area=0.4", "propeller_thrust[0]=80"}, Stop::speed},
        {"a heavier aircraft, stopped by lift", {"mass=30"}, Stop::lift},
        {"lift rotors idle four steps before the stop", {"angle_of_attack[1]=0.01"}, Stop::lift},
        {"the moment five steps before the step cap", {"mass=33.4"}, Stop::lift},
        {"the step cap: peaks alone", {"mass=34"}, Stop::cap},
        {"a table schedule, its knots' speeds and angles values too", {"table"}, Stop::lift},
    };
    for (const Case& c : cases) {
        Vehicle p = built_in_vehicle;
        if (!c.settings.empty() && c.settings[0] == "table") {
            assign_table({0.5, 6, 12, 18, 24}, {-0.04, -0.03, 0.02, 0.09, 0.15}, p);
        } else {
            p = vehicle_with(c.settings);
        }
        const std::vector<std::size_t> all = every_value(p);
        const StudyDerivatives d = study_derivatives(p, all);
        const StudyResult r = study_vehicle(p);
        ASSERT_EQ(r.stop, c.stop) << c.what;
        // The run on dual numbers is the run on doubles, to the last bit.
        EXPECT_EQ(study_row(d.result), study_row(r)) << c.what;
        std::size_t compared = 0, entries = 0;
        for (std::size_t j : all) {
            const double x = value(p, j);
            // A value of 0 (the first knot's speed) stepped by as much as a value of 1 would be.
            const double size = x != 0.0 ? std::fabs(x) : 1.0;
            const double steps[2] = {1e-4 * size, 1e-5 * size};
            StudyResult up[2], down[2];
            for (int s = 0; s < 2; ++s) {
                up[s] = study_vehicle(with_value(p, j, x + steps[s]));
                down[s] = study_vehicle(with_value(p, j, x - steps[s]));
            }
            for (std::size_t i = 0; i < smooth_count; ++i) {
                double figure = 0.0;
                const bool known = smooth_figure(r, i, figure);
                ASSERT_EQ(d.known[i], known) << c.what << " " << smooth_columns[i];
                if (!known) continue;
                ++entries;
                double fd[2];
                bool ok = true;
                for (int s = 0; s < 2; ++s) {
                    double a = 0.0, b = 0.0;
                    ok = ok && smooth_figure(up[s], i, a) && smooth_figure(down[s], i, b);
                    fd[s] = (a - b) / (2.0 * steps[s]);
                }
                // A derivative that is 0 but for rounding (event_v of a lift stop in the
                // propeller's coefficients): its differences are noise, below this floor.
                const double floor = 1e-9 * std::fabs(figure) / size;
                const double scale = std::max({std::fabs(fd[0]), std::fabs(fd[1]), floor});
                if (!ok || std::fabs(fd[0] - fd[1]) > 1e-6 * scale) continue;
                ++compared;
                EXPECT_LE(std::fabs(d.d[i][j] - fd[1]), 1e-5 * scale)
                    << c.what << ": d " << smooth_columns[i] << " / d " << real_value_names(p)[j] << " is "
                    << d.d[i][j] << ", central differences " << fd[0] << " and " << fd[1];
            }
        }
        // Most entries are compared: the test does not pass by skipping them.
        EXPECT_GE(compared, entries * 8 / 10) << c.what << ": " << compared << " of " << entries;
    }
}

// The partials are carried a few values at a time: any values, in any order, repeated or
// not, give each value's derivatives as the whole table does, to the bit. So do the knots of
// a table above the speeds the run reaches, which the whole table takes without a pass of
// their own: of 26 knots a metre per second apart, those of the segment where the run stops
// and the next have a say, and none above them.
TEST(Derivatives, AnyValuesInAnyOrderGiveTheSameColumns) {
    const Vehicle p = built_in_vehicle;
    const std::vector<std::size_t> all = every_value(p);
    const StudyDerivatives whole = study_derivatives(p, all);
    for (const std::vector<std::size_t>& some :
         {std::vector<std::size_t>{16, 3, 3, 0}, std::vector<std::size_t>{2}, std::vector<std::size_t>(40, 8)}) {
        const StudyDerivatives part = study_derivatives(p, some);
        for (std::size_t i = 0; i < smooth_count; ++i) {
            ASSERT_EQ(part.d[i].size(), some.size());
            for (std::size_t j = 0; j < some.size(); ++j) EXPECT_EQ(part.d[i][j], whole.d[i][some[j]]) << i << " " << j;
        }
    }
    EXPECT_THROW(study_derivatives(p, {all.size()}), std::out_of_range);

    Vehicle knots = built_in_vehicle;
    std::vector<double> speeds, angles;
    for (int k = 0; k < 26; ++k) {
        speeds.push_back(k);
        angles.push_back(k < 13 ? -0.040786 : k == 13 ? 0.2094 : 0.15 - 0.003 * (k - 14));
    }
    assign_table(speeds, angles, knots);
    const std::vector<std::string> names = real_value_names(knots);
    const std::vector<std::size_t> every = every_value(knots);
    const StudyDerivatives table = study_derivatives(knots, every);
    ASSERT_EQ(table.result.stop, Stop::lift);
    ASSERT_LT(table.result.event_y[0], 20.0);
    const std::string last = "[" + std::to_string(static_cast<int>(table.result.event_y[0]) + 1) + "]";
    const std::size_t event_t = 0;
    ASSERT_STREQ(smooth_columns[event_t], "event_t");
    std::size_t said = 0;
    for (std::size_t j : every) {
        const StudyDerivatives alone = study_derivatives(knots, {j});
        for (std::size_t i = 0; i < smooth_count; ++i) {
            ASSERT_EQ(alone.known[i], table.known[i]);
            if (!table.known[i]) continue;
            const double a = alone.d[i][0], b = table.d[i][j];
            EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b)))
                << "d " << smooth_columns[i] << " / d " << names[j] << ": " << b << " in the table, " << a << " alone";
        }
        if (names[j] == "schedule_angle" + last || names[j] == "schedule_speed" + last) said += table.d[event_t][j] != 0.0;
    }
    // The last knot that has a say, its speed and its angle, moves the moment.
    EXPECT_EQ(said, 2u);
}

// The partials carried four to an instruction (AVX2, where the CPU has it) are the doubles
// carried two to one: the derivatives are the same on every CPU.
TEST(Derivatives, AreTheSameDoublesWhateverTheVectorUnit) {
    for (const std::vector<std::string>& settings :
         {std::vector<std::string>{}, {"mass=30"}, {"wing_area=0.4", "propeller_thrust[0]=80"}}) {
        const Vehicle p = vehicle_with(settings);
        const std::vector<std::size_t> all = every_value(p);
        const StudyDerivatives wide = study_derivatives_beyond(p, all, run_step_cap, true);
        const StudyDerivatives narrow = study_derivatives_beyond(p, all, run_step_cap, false);
        for (std::size_t i = 0; i < smooth_count; ++i) EXPECT_EQ(wide.d[i], narrow.d[i]) << smooth_columns[i];
    }
}

// The values' names and order are those of a written vehicle file, and each is where
// each_real finds it.
TEST(Derivatives, ValuesAreNamedAndOrderedAsTheVehicleFile) {
    const Vehicle p = built_in_vehicle;
    const std::vector<std::string> names = real_value_names(p);
    ASSERT_EQ(names.size(), 17u);
    EXPECT_EQ(names[2], "mass");
    EXPECT_EQ(names[4], "lift_rotor_diameter");
    EXPECT_EQ(names[7], "angle_of_attack[2]");
    EXPECT_EQ(names[16], "drag_coefficient[2]");
    for (std::size_t j = 0; j < names.size(); ++j) {
        const VehicleValue v = find_value(names[j], "test");
        EXPECT_EQ(real_value_index(v, p, "test"), j);
        EXPECT_EQ(value(with_value(p, j, 1234.5), j), 1234.5) << names[j];
    }
    EXPECT_THROW(real_value_index(find_value("lift_rotors", "test"), p, "test"), VehicleError);
}

// A design the model cannot fly has no derivatives, and says why as its run does.
TEST(Derivatives, AnInvalidDesignHasNone) {
    const Vehicle p = vehicle_with({"propeller_thrust=[10, -2, 0]"});
    const StudyDerivatives d = study_derivatives(p, every_value(p));
    EXPECT_EQ(d.result.stop, Stop::invalid);
    EXPECT_EQ(describe(d.result.invalid), describe(study_vehicle(p).invalid));
    for (bool known : d.known) EXPECT_FALSE(known);
}
