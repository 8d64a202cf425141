#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <cstring>

#include "flight_model/flight_model.h"
#include "integrator/rkg4.h"
#include "study/study.h"
#include "study/sweep.h"
#include "vehicle_file/vehicle_file.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary file of the running test's own: ctest may run several tests at once.
std::string temporary(const std::string& name) {
    return ::testing::TempDir() + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." + name;
}

std::string written(const std::string& name, const std::string& text) {
    const std::string path = temporary(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

bool same(const Vehicle& a, const Vehicle& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(VehicleFile, RefusesWhatIsNotAVehicleSayingWhereAndWhat) {
    const struct {
        const char* text;
        const char* message;
    } files[] = {
        {"mass = \n", "bad.toml:1:8: "},
        {"\nmas = 30\n", "bad.toml:2: unknown key 'mas'; the nearest known key is 'mass'"},
        {"[aircraft]\nmass = 30\n", "bad.toml:1: unknown key 'aircraft'"},
        {"mass = \"heavy\"\n", "bad.toml:1: mass: expected a number, not a string"},
        {"propeller_thrust = [1.0, 2.0]\n", "bad.toml:1: propeller_thrust: expected an array of 3 numbers"},
        {"lift_coefficient = 0.5\n", "bad.toml:1: lift_coefficient: expected an array of 2 numbers"},
        {"drag_coefficient = [0.1,\n 0.2,\n true]\n", "bad.toml:3: drag_coefficient[2]: expected a number"},
        {"gravity = nan\n", "bad.toml:1: gravity: nan is not a finite number"},
        {"angle_of_attack = [0, 0, -inf, 0]\n", "bad.toml:1: angle_of_attack[2]: -inf is not a finite"},
        {"wing_area = 0\n", "bad.toml:1: wing_area: must be greater than 0, not 0"},
        {"air_density = -1.2\n", "bad.toml:1: air_density: must be greater than 0"},
        {"lift_rotor_diameter = -0.4\n", "bad.toml:1: lift_rotor_diameter: must be greater than 0"},
        {"lift_rotors = 0\n", "bad.toml:1: lift_rotors: expected a whole number from 1"},
        {"lift_rotors = 4.0\n", "bad.toml:1: lift_rotors: expected a whole number from 1"},
    };
    for (const auto& f : files) {
        const std::string path = written("bad.toml", f.text);
        Vehicle v = built_in_vehicle;
        try {
            read_vehicle_file(path, v);
            ADD_FAILURE() << "accepted: " << f.text;
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path.substr(0, path.size() - 8) + f.message, 0), 0u)
                << e.what();
        }
        EXPECT_TRUE(same(v, built_in_vehicle)) << "a refused file changed the vehicle: " << f.text;
    }
    const char* settings[][2] = {
        {"mass", "--set mass: expected KEY=VALUE"},
        {"mass=abc", "--set mass=abc: mass: 'abc' is not a value"},
        {"mass[0]=3", "--set mass[0]=3: mass has no elements"},
        {"propeller_thrust[3]=1", "--set propeller_thrust[3]=1: propeller_thrust has elements 0 to 2"},
        {"propeller_thrust[x]=1", "--set propeller_thrust[x]=1: expected KEY or KEY[INDEX]"},
        {"gravty=9", "--set gravty=9: unknown key 'gravty'; the nearest known key is 'gravity'"},
        {"mass=0", "--set mass=0: mass: must be greater than 0"},
        {"lift_rotors=2.5", "--set lift_rotors=2.5: lift_rotors: expected a whole number"},
    };
    for (const auto& s : settings) {
        Vehicle v = built_in_vehicle;
        try {
            apply_setting(s[0], v);
            ADD_FAILURE() << "accepted: " << s[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(s[1], 0), 0u) << e.what();
        }
    }
    Vehicle v = built_in_vehicle;
    try {
        read_vehicle_file(::testing::TempDir(), v);
        ADD_FAILURE() << "a directory was accepted";
    } catch (const VehicleError& e) {
        EXPECT_NE(std::string(e.what()).find(": is a directory"), std::string::npos) << e.what();
    }
}

TEST(VehicleFile, SettingsAndWrittenFilesGiveTheSameDoubles) {
    Vehicle v = built_in_vehicle;
    read_vehicle_file(EXAMPLE_VEHICLE, v);
    EXPECT_TRUE(same(v, built_in_vehicle)) << "the example file is not the built-in aircraft";
    apply_setting("mass=30", v);
    apply_setting("propeller_thrust[2]=0.0151", v);
    apply_setting("lift_coefficient=[0.6, 6]", v);
    apply_setting("lift_rotors=6", v);
    EXPECT_EQ(v.m, 30.0);
    EXPECT_EQ(v.propeller[2], 0.0151);
    EXPECT_EQ(v.propeller[1], built_in_vehicle.propeller[1]);
    EXPECT_EQ(v.lift_curve[1], 6.0);
    EXPECT_EQ(v.rotors, 6);
    v.S = 0.1 + 0.2;  // a double with no short decimal form
    Vehicle back = built_in_vehicle;
    read_vehicle_file(written("back.toml", vehicle_file_text(v)), back);
    EXPECT_TRUE(same(back, v)) << vehicle_file_text(v);
}

// The program's summary figures are the built-in aircraft's row, and its trace the study's.
TEST(Study, BuiltInAircraftIsTheProgramsRun) {
    ::testing::internal::CaptureStdout();
    const StudyResult traced = study_vehicle(built_in_vehicle, true);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), slurp(EXPECTED_TRACE));
    const StudyResult r = study_vehicle(built_in_vehicle);
    EXPECT_EQ(study_row(r), study_row(traced));
    EXPECT_EQ(r.stop, Stop::lift);
    EXPECT_EQ(r.steps, 372);
    double t = 0.0;
    for (int i = 0; i < 372; ++i) t = t + 0.05;
    EXPECT_EQ(r.t, t);
    char summary[128];
    std::snprintf(summary, sizeof summary, "%f %f %f %f", (180.0 * r.alphaj) / 3.141592653589793, r.y[0],
                  r.y[1], r.y[2]);
    EXPECT_STREQ(summary, "3.542290 18.723291 223.371278 28347.250350");
    EXPECT_EQ(std::string(study_header).rfind("stop,steps,t,v,x,w,alpha,event_t,", 0), 0u);
    EXPECT_EQ(study_row(r).rfind("lift,372,18.600000000000129,18.723290880092627,", 0), 0u) << study_row(r);
    // Peaks: the rotors carry most at rest, where the tilted propeller pulls down too.
    EXPECT_NEAR(r.peak_thrust, 247.080352, 1e-6);
    EXPECT_NEAR(r.peak_power, 2900.76, 1e-2);
    // Six rotors share the same thrust over 3/2 the disc area: power falls by sqrt(2/3).
    Vehicle six = built_in_vehicle;
    apply_setting("lift_rotors=6", six);
    EXPECT_NEAR(study_vehicle(six).peak_power, r.peak_power * std::sqrt(4.0 / 6.0), 1e-9);
}

// The located moment against a run a hundred times finer, and against the speed at which
// the wing carries the weight, which the schedule makes a function of speed alone.
TEST(Study, LocatesTheMomentTheStopConditionHolds) {
    for (const char* setting : {"mass=25", "mass=30", "wing_area=0.9", "propeller_thrust[0]=80"}) {
        Vehicle p = built_in_vehicle;
        apply_setting(setting, p);
        const StudyResult r = study_vehicle(p);
        ASSERT_TRUE(r.located) << setting;
        const double h = 0.05;
        EXPECT_GT(r.event_t, r.t - 2 * h) << setting;
        EXPECT_LE(r.event_t, r.t + h) << setting;
        const Derived k = derive(p);
        const double Q = k.Q;
        if (r.stop == Stop::lift) {
            double lo = 0.0, hi = 40.0;  // lift below the weight at lo, not at hi
            for (double mid = lo + (hi - lo) / 2; mid > lo && mid < hi; mid = lo + (hi - lo) / 2) {
                (wing_lift(p, mid) < Q ? lo : hi) = mid;
            }
            EXPECT_NEAR(r.event_y[0], hi, 1e-9) << setting;
        } else {
            EXPECT_EQ(r.stop, Stop::speed) << setting;
            EXPECT_NEAR(r.event_y[0], 25.0, 1e-9) << setting;
        }
        Evaluation e;
        auto f = [&](double* dydt, double* y, int, double) {
            evaluate(p, k, y[0], e);
            dydt[0] = e.acc;
            dydt[1] = y[0];
            dydt[2] = e.power;
        };
        const double fine = h / 128;
        double y0[3] = {0, 0, 0}, y[3], dydt[3], q[3], t = 0.0;
        while (t + fine <= r.event_t) {
            gill_step(f, y0, dydt, y, q, 3, fine, t);
            t += fine;
            std::copy(y, y + 3, y0);
        }
        gill_step(f, y0, dydt, y, q, 3, r.event_t - t, t);
        EXPECT_NEAR(r.event_y[0], y[0], 1e-5) << setting;
        EXPECT_NEAR(r.event_y[1], y[1], 1e-5) << setting;
        EXPECT_NEAR(r.event_y[2], y[2], 1e-3 + 1e-8 * y[2]) << setting;
    }
}

TEST(Study, AnAircraftOutOfTheModelsRangeIsNoResult) {
    Vehicle p = built_in_vehicle;
    apply_setting("propeller_thrust=[10, -2, 0]", p);
    const StudyResult r = study_vehicle(p);
    ASSERT_EQ(r.stop, Stop::invalid);
    EXPECT_EQ(study_row(r), "invalid,,,,,,,,,,,,");
    const std::string why = describe(r.invalid);
    EXPECT_EQ(why.rfind("propeller thrust -", 0), 0u) << why;
    EXPECT_NE(why.find(" N is negative at t = "), std::string::npos) << why;
    apply_setting("propeller_thrust=[39.85, -1.0136, 0.0145]", p);
    apply_setting("angle_of_attack=[1.6, 0, 0, 0]", p);
    const StudyResult steep = study_vehicle(p);
    ASSERT_EQ(steep.stop, Stop::invalid);
    EXPECT_EQ(describe(steep.invalid).rfind("angle of attack ", 0), 0u) << describe(steep.invalid);
    EXPECT_GE(std::fabs(steep.invalid.value), 1.5707963267948966);
}

}  // namespace

namespace {

std::string swept(const Grid& grid, Shard shard, int jobs, bool header = true) {
    const std::string path = temporary("sweep.csv");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    const std::atomic<bool> never{false};
    run_sweep(grid, shard, jobs, out, never, nullptr);
    std::fclose(out);
    const std::string text = slurp(path);
    return header ? text : text.substr(text.find('\n') + 1);
}

// Rows in grid order, the first sweep slowest, each the single aircraft's own row; the
// same bytes on any number of threads and from shards put end to end.
TEST(Sweep, GridOrderJobsAndShardsGiveTheSameRows) {
    const Grid grid(built_in_vehicle, {parse_sweep("mass=20:30:3"), parse_sweep("propeller_thrust[0]=39.85,45")});
    ASSERT_EQ(grid.size(), 6);
    const std::string whole = swept(grid, {0, 6}, 1);
    std::istringstream rows(whole);
    std::string line;
    std::getline(rows, line);
    EXPECT_EQ(line, std::string("mass,propeller_thrust[0],") + study_header + ",note");
    const char* designs[][2] = {{"20", "39.85"}, {"20", "45"}, {"25", "39.85"},
                                {"25", "45"},    {"30", "39.85"}, {"30", "45"}};
    for (const auto& d : designs) {
        ASSERT_TRUE(std::getline(rows, line));
        Vehicle v = built_in_vehicle;
        apply_setting(std::string("mass=") + d[0], v);
        apply_setting(std::string("propeller_thrust[0]=") + d[1], v);
        EXPECT_EQ(line, std::string(d[0]) + "," + d[1] + "," + study_row(study_vehicle(v)) + ",");
    }
    EXPECT_EQ(swept(grid, {0, 6}, 2), whole);
    EXPECT_EQ(swept(grid, {0, 6}, 5), whole);
    std::string parts;
    for (int k = 1; k <= 4; ++k) {
        const Shard s = shard_of(grid.size(), k, 4);
        EXPECT_GE(s.end - s.begin, 1);
        EXPECT_LE(s.end - s.begin, 2);
        parts += swept(grid, s, 2, false);
    }
    EXPECT_EQ(parts, whole.substr(whole.find('\n') + 1));
}

TEST(Sweep, InvalidDesignsAreRowsAndBadSweepsAreRefused) {
    const Grid grid(built_in_vehicle, {parse_sweep("propeller_thrust[1]=-1.0136,-8")});
    const std::string text = swept(grid, {0, 2}, 2, false);
    const std::string second = text.substr(text.find('\n') + 1);
    EXPECT_EQ(text.substr(0, text.find('\n')), "-1.0136," + study_row(study_vehicle(built_in_vehicle)) + ",");
    EXPECT_EQ(second.rfind("-8,invalid,,,,,,,,,,,,,propeller thrust -", 0), 0u) << second;
    EXPECT_NE(second.find(" N is negative at t = "), std::string::npos) << second;
    for (const char* bad : {"mass=20:30:0", "mass=20:inf:3", "mass=1:2", "mass=a,b", "mas=1:2:3",
                            "mass=-1:30:3", "lift_rotors=1:2:3", "propeller_thrust=1:2:3"}) {
        EXPECT_THROW(parse_sweep(bad), VehicleError) << bad;
    }
    EXPECT_THROW(Grid(built_in_vehicle, {parse_sweep("mass=1:2:3"), parse_sweep("mass=4,5")}), VehicleError);
    EXPECT_THROW(Grid(built_in_vehicle, {parse_sweep("mass=1:2:100000"), parse_sweep("gravity=1:2:100000")}),
                 VehicleError);
}

}  // namespace
