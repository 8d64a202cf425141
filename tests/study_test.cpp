#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Every value the same double, sign of zero and all.
bool same(const Vehicle& a, const Vehicle& b) {
    for (const VehicleKey& k : vehicle_keys()) {
        const std::vector<double> x = key_values(a, k.name), y = key_values(b, k.name);
        if (x.size() != y.size() || (!x.empty() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) != 0))
            return false;
    }
    return true;
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
        {"lift_rotors = 1000001\n", "bad.toml:1: lift_rotors: expected a whole number from 1 to 1000000, not 1000001"},
        // A good key first: the refusal must leave the vehicle as it was, not half read.
        {"mass = 30\nwing_area = 0\n", "bad.toml:2: wing_area: must be greater than 0, not 0"},
        {"lift_rotors = 6\n\"m\\u001bss\" = 1\n", "bad.toml:2: unknown key 'm\\x1bss'; the nearest known key is 'mass'"},
        // Refused before the parser can descend that deep.
        {"a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a = 1\n", "bad.toml:1: expected a key of at most 16 dotted parts"},
        {"mass = 30\n[a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a]\n", "bad.toml:2: expected a key of at most 16 dotted parts"},
        {"mass = 3\nx = \"a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a\"\ny = [[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]\n",
         "bad.toml:3: expected values nested at most 16 deep"},
        // A table schedule: both its keys, not with the cubic, each knot checked on its own line.
        {"angle_of_attack = [0, 0, 0, 0]\nschedule_speed = [0, 10]\nschedule_angle = [0, 0.1]\n",
         "bad.toml:2: schedule_speed: expected either angle_of_attack or the table schedule_speed and schedule_angle, "
         "not both schedules"},
        {"mass = 30\nschedule_angle = [0, 0.1]\n",
         "bad.toml:2: schedule_angle: expected schedule_speed too: a table schedule is its speeds and the angle at each"},
        {"schedule_speed = [0, 10]\n", "bad.toml:1: schedule_speed: expected schedule_angle too"},
        {"schedule_speed = [0, 10, 20]\nschedule_angle = [0, 0.1]\n",
         "bad.toml:2: schedule_angle: expected an array of 3 angles, one for each speed of schedule_speed, not an array of 2"},
        {"schedule_speed = [0]\nschedule_angle = [0]\n", "bad.toml:1: schedule_speed: expected an array of 2 to 1000 speeds"},
        {"schedule_speed = 5\nschedule_angle = [0]\n", "bad.toml:1: schedule_speed: expected an array of 2 to 1000 speeds"},
        {"schedule_speed = [0,\n 10,\n 10]\nschedule_angle = [0, 0.1, 0.2]\n",
         "bad.toml:3: schedule_speed[2]: expected speeds strictly increasing, not 10 after 10"},
        {"schedule_speed = [-1, 10]\nschedule_angle = [0, 0.1]\n",
         "bad.toml:1: schedule_speed[0]: expected a speed of 0 or more, not -1"},
        {"schedule_speed = [0, 10]\nschedule_angle = [0,\n 1.6]\n",
         "bad.toml:3: schedule_angle[1]: expected an angle within +-90 deg (+-1.5707963267948966 rad), not 1.6"},
        {"schedule_speed = [0, nan]\nschedule_angle = [0, 0.1]\n", "bad.toml:1: schedule_speed[1]: nan is not a finite"},
        {"schedule_speed = [0, 10]\nschedule_angle = [0, \"x\"]\n", "bad.toml:2: schedule_angle[1]: expected a number"},
    };
    // 200,000 dotted parts, 400 kB, once crashed the parser.
    std::string deep = "a";
    for (int i = 1; i < 200000; ++i) deep += ".a";
    const std::string deep_key = deep + " = 1\n", deep_header = "[" + deep + "]\n";
    for (const std::string& text : {deep_key, deep_header}) {
        Vehicle v = built_in_vehicle;
        try {
            read_vehicle_file(written("deep.toml", text), v);
            ADD_FAILURE() << "a key of 200,000 parts was accepted";
        } catch (const VehicleError& e) {
            EXPECT_NE(std::string(e.what()).find("deep.toml:1: expected a key of at most 16 dotted parts"),
                      std::string::npos) << e.what();
        }
    }
    std::string many = "schedule_speed = [0", angles = "schedule_angle = [0";
    for (int i = 1; i <= 1000; ++i) {
        many += ", " + std::to_string(i);
        angles += ", 0";
    }
    for (const std::string& text : {many + "]\n" + angles + "]\n"}) {
        Vehicle v = built_in_vehicle;
        EXPECT_THROW(read_vehicle_file(written("many.toml", text), v), VehicleError) << "1001 knots accepted";
    }
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
        // One value: nothing may follow it on another line, and no control character is shown raw.
        {"mass=30\nwing_area=2", "--set mass=30\\nwing_area=2: mass: expected one value on one line"},
        {"mass=30\n[x]\ny=1", "--set mass=30\\n[x]\\ny=1: mass: expected one value on one line"},
        {"ma\x1bss=30", "--set ma\\x1bss=30: unknown key 'ma\\x1bss'"},
        // The built-in aircraft's schedule is the cubic: it has no table to set a knot of.
        {"schedule_angle[3]=0.1", "--set schedule_angle[3]=0.1: schedule_angle: the vehicle's schedule is the cubic "
                                  "angle_of_attack, not a table"},
        {"schedule_speed=[0, 10]", "--set schedule_speed=[0, 10]: schedule_speed: the vehicle's schedule is the cubic"},
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
    // A key's values set as numbers go through the file's own checks and messages.
    assign_key("propeller_thrust", {45, -1.0136, 0.0145}, v);
    EXPECT_EQ(key_values(v, "propeller_thrust"), (std::vector<double>{45, -1.0136, 0.0145}));
    assign_key("lift_rotors", {8}, v);
    EXPECT_EQ(key_values(v, "lift_rotors"), std::vector<double>{8});
    const Vehicle before = v;
    const std::pair<const char*, std::vector<double>> refused[] = {
        {"mass: must be greater than 0, not 0", {0}},
        {"lift_rotors: expected a whole number from 1 to 1000000, not a real number", {2.5}},
        {"propeller_thrust: expected an array of 3 numbers (N, in speed: c0 + c1 v + c2 v^2), not an array of 2", {1, 2}},
        {"angle_of_attack[2]: inf is not a finite number", {0, 0, HUGE_VAL, 0}},
    };
    const char* refused_keys[] = {"mass", "lift_rotors", "propeller_thrust", "angle_of_attack"};
    for (std::size_t i = 0; i < 4; ++i) {
        try {
            assign_key(refused_keys[i], refused[i].second, v);
            ADD_FAILURE() << "accepted " << refused_keys[i];
        } catch (const VehicleError& e) {
            EXPECT_STREQ(e.what(), refused[i].first);
        }
    }
    EXPECT_THROW(assign_key("mas", {30}, v), UnknownKeyError);
    EXPECT_TRUE(same(v, before)) << "a refused value changed the vehicle";
    v.S = 0.1 + 0.2;  // a double with no short decimal form
    apply_setting("drag_coefficient=[-0.0, -0.0, 0.0]", v);  // the sign of zero is a value too
    EXPECT_TRUE(std::signbit(v.drag_polar[0]));
    apply_setting("lift_rotors=1000000", v);
    const std::string text = vehicle_file_text(v);
    EXPECT_NE(text.find("drag_coefficient = [-0.0, -0.0, 0]"), std::string::npos) << text;
    Vehicle back = built_in_vehicle;
    read_vehicle_file(written("back.toml", text), back);
    EXPECT_TRUE(same(back, v)) << text;
}

// A table schedule read, set knot by knot, written and read back to the same doubles; its
// knots are the vehicle's real values in place of the cubic's.
TEST(VehicleFile, ATableScheduleReadsSetsAndWritesBack) {
    Vehicle v = built_in_vehicle;
    read_vehicle_file(EXAMPLE_TABLE, v);
    ASSERT_TRUE(v.schedule.table);
    EXPECT_EQ(v.schedule.speeds, (std::vector<double>{0, 5, 10, 15, 20, 25}));
    EXPECT_EQ(key_values(v, "angle_of_attack"), std::vector<double>{});
    EXPECT_FALSE(has_key(v, "angle_of_attack"));
    const std::vector<std::string> names = real_value_names(v);
    ASSERT_EQ(names.size(), 13u + 12u);
    EXPECT_EQ(names[5], "schedule_speed[0]");
    EXPECT_EQ(names[16], "schedule_angle[5]");
    EXPECT_EQ(names[17], "propeller_thrust[0]");
    apply_setting("schedule_angle[3]=0.1", v);
    apply_setting("schedule_speed[5]=30", v);
    apply_setting("schedule_angle=[0, 0, 0.1, 0.1, 0.2, 0.3]", v);
    EXPECT_EQ(v.schedule.angles[3], 0.1);
    EXPECT_EQ(v.schedule.speeds[5], 30.0);
    const Vehicle before = v;
    const char* refused[][2] = {
        {"schedule_speed[2]=5", "--set schedule_speed[2]=5: schedule_speed[2]: expected speeds strictly increasing, "
                                "not 5 after 5"},
        {"schedule_speed[1]=10", "--set schedule_speed[1]=10: schedule_speed[1]: expected speeds strictly increasing, "
                                 "not 10 before 10"},
        {"schedule_speed[0]=-0.5", "--set schedule_speed[0]=-0.5: schedule_speed[0]: expected a speed of 0 or more"},
        {"schedule_angle[6]=0", "--set schedule_angle[6]=0: schedule_angle has elements 0 to 5"},
        {"schedule_angle[0]=-2", "--set schedule_angle[0]=-2: schedule_angle[0]: expected an angle within +-90 deg"},
        {"schedule_angle=[0, 0.1]", "--set schedule_angle=[0, 0.1]: schedule_angle: expected an array of 6 numbers, "
                                    "one for each knot of the table, not an array of 2"},
        {"angle_of_attack[1]=0", "--set angle_of_attack[1]=0: angle_of_attack: the vehicle's schedule is a table"},
    };
    for (const auto& r : refused) {
        try {
            apply_setting(r[0], v);
            ADD_FAILURE() << "accepted: " << r[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(r[1], 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(same(v, before)) << "a refused setting changed the vehicle";
    v.schedule.angles[2] = 0.1 + 0.2;
    const std::string text = vehicle_file_text(v);
    EXPECT_EQ(text.find("angle_of_attack"), std::string::npos) << text;
    EXPECT_NE(text.find("schedule_angle = [0, 0, 0.30000000000000004, 0.1, 0.2, 0.3]"), std::string::npos) << text;
    Vehicle back = built_in_vehicle;
    read_vehicle_file(written("table.toml", text), back);
    EXPECT_TRUE(same(back, v)) << text;
    // A knot swept: each design's table is the vehicle's with that knot's value.
    const Grid knots(v, {parse_sweep("schedule_angle[3]=0:0.2:5")});
    ASSERT_EQ(knots.size(), 5);
    EXPECT_EQ(knots.design(4).schedule.angles[3], 0.2);
    EXPECT_EQ(knots.design(4).schedule.angles[2], v.schedule.angles[2]);
    EXPECT_THROW(Grid(v, {parse_sweep("schedule_speed[1]=0:30:5")}), VehicleError);  // past its neighbours
    // A table of another size, or in place of the cubic, is a whole table: from a file, or both keys at once.
    assign_table({0, 12.5}, {0, 0.05}, back);
    EXPECT_EQ(back.schedule.speeds.size(), 2u);
    EXPECT_THROW(assign_table({0, 12.5}, {0, 0.05, 0.1}, back), VehicleError);
    // The cubic set whole is the schedule again.
    apply_setting("angle_of_attack=[0, 0.001, 0, 0]", back);
    EXPECT_FALSE(back.schedule.table);
    EXPECT_EQ(real_value_names(back), real_value_names(built_in_vehicle));
}

TEST(VehicleFile, EachValueHasItsUnit) {
    const char* units[][2] = {
        {"air_density", "kg/m^3"},         {"mass", "kg"},
        {"lift_rotors", ""},               {"lift_rotor_diameter", "m"},
        {"propeller_thrust[0]", "N"},      {"propeller_thrust[1]", "N/(m/s)"},
        {"propeller_thrust[2]", "N/(m/s)^2"}, {"angle_of_attack[0]", "rad"},
        {"angle_of_attack[3]", "rad/(m/s)^3"}, {"lift_coefficient[0]", ""},
        {"lift_coefficient[1]", "1/rad"},  {"drag_coefficient[2]", "1/rad^2"},
    };
    for (const auto& u : units) EXPECT_EQ(value_unit(find_value(u[0], "test")), u[1]) << u[0];
}

// The program's summary figures are the built-in aircraft's row, and its trace the study's.
TEST(Study, BuiltInAircraftIsTheProgramsRun) {
    ::testing::internal::CaptureStdout();
    const StudyResult traced = study_vehicle(built_in_vehicle, true);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), slurp(EXPECTED_TRACE));
    const StudyResult r = study_vehicle(built_in_vehicle);
    EXPECT_EQ(study_row(r), study_row(traced));
    // The steps' figures kept at full precision are the ones the step lines print.
    std::vector<StepFigures> steps;
    EXPECT_EQ(study_row(study_vehicle_steps(built_in_vehicle, steps)), study_row(r));
    ASSERT_EQ(steps.size(), 372u);
    std::istringstream trace(slurp(EXPECTED_TRACE));
    std::size_t step = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.rfind("t ", 0) != 0) continue;
        const StepFigures& f = steps[step++];
        char printed[256];
        std::snprintf(printed, sizeof printed, "t %f a %f v %f x %f w %f Q 245.250000 lift %f", f.t, f.a, f.v, f.x,
                      f.w, f.lift);
        EXPECT_EQ(line, printed);
    }
    EXPECT_EQ(step, 372u);
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

// The angles a table schedule gives in a run, read from the trace's own lines against the
// table worked out here: held at 0.02 rad below 5 m/s, linear up to 0.08 rad at 15 m/s, and
// held there; and the same run, to rounding, as the cubic of a table on one straight line.
TEST(Study, ATableScheduleIsLinearBetweenKnotsAndHeldOutside) {
    Vehicle p = built_in_vehicle;
    assign_table({5, 15}, {0.02, 0.08}, p);
    ::testing::internal::CaptureStdout();
    const StudyResult r = study_vehicle(p, true);
    const std::string trace = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.stop, Stop::lift);
    const auto table = [](double v) { return v < 5 ? 0.02 : v > 15 ? 0.08 : 0.02 + (v - 5) * 0.006; };
    std::istringstream lines(trace);
    int evaluations = 0, held = 0, between = 0;
    double alpha = 0.0, cx = 0.0, cz = 0.0;
    for (std::string line; std::getline(lines, line);) {
        double vel = 0.0;
        if (std::sscanf(line.c_str(), "alpha %lf Cx %lf Cz %lf", &alpha, &cx, &cz) == 3) continue;
        if (std::sscanf(line.c_str(), "vel %lf", &vel) != 1) continue;
        // The trace's six decimals: the speed within 5e-7 m/s, the angle within 5e-7 deg.
        EXPECT_NEAR(alpha, 180.0 * table(vel) / 3.141592653589793, 1e-6) << line;
        ++evaluations;
        (vel < 5 || vel > 15 ? held : between) += 1;
    }
    EXPECT_EQ(evaluations, 4 * r.steps);
    EXPECT_GT(held, 100);
    EXPECT_GT(between, 100);
    EXPECT_NEAR(r.peak_alpha, table(r.event_y[0]), 1e-15);

    Vehicle cubic = built_in_vehicle, line = built_in_vehicle;
    apply_setting("angle_of_attack=[-0.04, 0.005, 0, 0]", cubic);
    assign_table({0, 10, 20, 40}, {-0.04, 0.01, 0.06, 0.16}, line);
    const StudyResult a = study_vehicle(cubic), b = study_vehicle(line);
    EXPECT_EQ(a.stop, b.stop);
    EXPECT_EQ(a.steps, b.steps);
    for (std::size_t i = 0; i < smooth_count; ++i) {
        double x = 0.0, y = 0.0;
        ASSERT_TRUE(smooth_figure(a, i, x) && smooth_figure(b, i, y));
        EXPECT_NEAR(x, y, 1e-12 * std::fabs(x)) << smooth_columns[i];
    }
}

// The largest pitch rate and acceleration are those of the run's own evaluations, each
// taken here from the model's acceleration and the slope of the schedule's angle by
// central differences in speed: for the cubic, and for a table (whose slope is its
// segment's).
TEST(Study, PeakPitchRateAndAccelerationAreTheEvaluationsLargest) {
    Vehicle table = built_in_vehicle;
    assign_table({0, 6, 12, 18}, {-0.04, -0.04, 0.05, 0.2}, table);
    for (const Vehicle& p : {built_in_vehicle, table}) {
        const StudyResult r = study_vehicle(p);
        ASSERT_TRUE(r.located);
        const Derived k = derive(p);
        double most_acceleration = 0.0, most_pitch_rate = 0.0;
        auto f = [&](double* dydt, double* y, int, double) {
            Evaluation e;
            evaluate(p, k, y[0], e);
            const double h = 1e-7;
            const double slope = (angle_of_attack(p, y[0] + h) - angle_of_attack(p, y[0] - h)) / (2 * h);
            most_acceleration = std::max(most_acceleration, std::fabs(e.acc));
            most_pitch_rate = std::max(most_pitch_rate, std::fabs(slope * e.acc));
            dydt[0] = e.acc;
            dydt[1] = y[0];
            dydt[2] = e.power;
        };
        double y0[3] = {0, 0, 0}, y[3], dydt[3], q[3], t = 0.0;
        for (int i = 0; i < r.steps; ++i) {
            gill_step(f, y0, dydt, y, q, 3, 0.05, t);
            t = t + 0.05;
            std::copy(y, y + 3, y0);
        }
        EXPECT_EQ(r.peak_acceleration, most_acceleration);
        EXPECT_NEAR(r.peak_pitch_rate, most_pitch_rate, 1e-6 * most_pitch_rate);
        EXPECT_GT(r.peak_pitch_rate, 0.0);
    }
}

// The schedule's peak angle up to a speed: at an end, or at a turning point inside.
TEST(Study, PeakAngleOfAttackIsTheSchedulesLargestUpToTheSpeed) {
    Vehicle p = built_in_vehicle;
    apply_setting("angle_of_attack=[0, 0.3, -0.06, 0.003]", p);  // turning points at 10/3 and 10 m/s
    EXPECT_NEAR(peak_angle_of_attack(p, 8.0), 4.0 / 9.0, 1e-15);
    EXPECT_NEAR(peak_angle_of_attack(p, 20.0), 6.0, 1e-13);
    EXPECT_NEAR(peak_angle_of_attack(p, 3.0), 0.441, 1e-15);  // still rising at 3 m/s
    apply_setting("angle_of_attack=[0, 0.03, -0.003, 0]", p);  // a parabola, highest at 5 m/s
    EXPECT_NEAR(peak_angle_of_attack(p, 10.0), 0.075, 1e-16);
    EXPECT_NEAR(peak_angle_of_attack(p, -1.0), 0.0, 0.0);
    apply_setting("angle_of_attack=[0.1, 0, 0, 0]", p);
    EXPECT_EQ(peak_angle_of_attack(p, 10.0), 0.1);
}

// A stop by speed: the end-of-step speed passes 25 m/s, and the moment is the one the
// speed is 25 m/s itself. Lift exactly equal to the weight stops a run (here both are 0 from
// the start: the moment is the start).
TEST(Study, StopsBySpeedAndByLiftEqualToTheWeight) {
    Vehicle fast = built_in_vehicle;
    apply_setting("propeller_thrust[0]=200", fast);
    apply_setting("lift_coefficient=[0.1, 0]", fast);
    const StudyResult r = study_vehicle(fast);
    EXPECT_EQ(study_row(r),
              "speed,74,3.6999999999999948,25.174713823046247,51.411433831005382,9155.2621015249933,"
              "9.4986282671773541,3.6578814648781575,25,50.354778477939689,9084.7417715535194,"
              "253.61585407398718,3016.610942025929,0.16233900000000001,0.087018396035416695,8.4069912751402782");
    // The schedule's angle at 25 m/s: -0.040786 + 0.01 + 0.099375 + 0.09375 rad.
    EXPECT_NEAR(r.peak_alpha, 0.162339, 1e-15);
    EXPECT_GT(r.y[0], 25.0);
    EXPECT_EQ(r.event_y[0], 25.0);
    EXPECT_GT(r.event_t, r.t - 0.05);
    EXPECT_LT(r.event_t, r.t);

    Vehicle weightless = built_in_vehicle;
    for (const char* setting : {"mass=0.25", "gravity=5e-324", "lift_coefficient=[0, 0]"})
        apply_setting(setting, weightless);
    ASSERT_EQ(derive(weightless).Q, 0.0);  // 1.25e-324 rounds to 0
    const StudyResult held = study_vehicle(weightless);
    EXPECT_EQ(held.stop, Stop::lift);
    EXPECT_EQ(held.steps, 1);
    EXPECT_TRUE(held.located);
    EXPECT_EQ(held.event_t, 0.0);
}

// The wing carries the weight only in a narrow band of speeds, which the run's fourth
// evaluation hits and no end of step does: the moment is still located, where lift equals
// the weight on the integrated solution.
TEST(Study, LocatesAMomentInABandOfSpeedsNoStepEndMeets) {
    Vehicle p = built_in_vehicle;
    for (const char* setting : {"wing_area=12.31446", "angle_of_attack=[0.0, 0.005, 0.0, 0.0]",
                                "lift_coefficient=[1.0, -13.5]", "drag_coefficient=[0.0, 0.0, 0.0]",
                                "propeller_thrust=[5000.0, -500.0, 0.0]"})
        apply_setting(setting, p);
    const StudyResult r = study_vehicle(p);
    ASSERT_EQ(r.stop, Stop::lift);
    EXPECT_EQ(r.steps, 4);
    EXPECT_LT(wing_lift(p, r.y[0]), derive(p).Q) << "the stopping step's end is outside the band";
    ASSERT_TRUE(r.located);
    const double Q = derive(p).Q;
    EXPECT_NEAR(wing_lift(p, r.event_y[0]), Q, 1e-9 * Q);
    EXPECT_GT(r.event_t, r.t - 0.05);
    EXPECT_LT(r.event_t, r.t + 0.05);
    // Every design of a sweep across such bands is located.
    const Grid grid(p, {parse_sweep("wing_area=12.31:12.32:101")});
    std::vector<StudyResult> results(101);
    ASSERT_EQ(study_grid(grid, {0, 101}, 2, results.data(), [] { return true; }), 101);
    for (const StudyResult& d : results) {
        EXPECT_TRUE(d.located || d.stop == Stop::cap || d.stop == Stop::invalid) << study_row(d);
    }
}

// Out of the model's range: the quantity, its value and when, in one line.
TEST(Study, AnAircraftOutOfTheModelsRangeIsNoResult) {
    const struct {
        const char* setting;
        const char* why;
    } cases[] = {
        {"propeller_thrust=[10, -2, 0]", "propeller thrust -0.00484458 N is negative at t = 9.575 s (step 192)"},
        {"angle_of_attack=[1.6, 0, 0, 0]", "angle of attack 91.6732 deg reaches +-90 deg at t = 0 s (step 1)"},
        // pi/2 in double precision is itself out of range: its cosine is not zero, but the
        // vertical balance means nothing there.
        {"angle_of_attack=[1.5707963267948966, 0, 0, 0]", "angle of attack 90 deg reaches +-90 deg at t = 0 s (step 1)"},
        {"mass=1e205", "induced power is not finite (inf) at t = 0 s (step 1)"},
    };
    for (const auto& c : cases) {
        Vehicle p = built_in_vehicle;
        apply_setting(c.setting, p);
        const StudyResult r = study_vehicle(p);
        ASSERT_EQ(r.stop, Stop::invalid) << c.setting;
        EXPECT_EQ(study_row(r), "invalid,,,,,,,,,,,,,,,");
        EXPECT_EQ(describe(r.invalid), c.why);
    }
    // The range's edges: a propeller that gives no thrust at all is still in it.
    Vehicle idle = built_in_vehicle;
    apply_setting("propeller_thrust=[0, 0, 0]", idle);
    EXPECT_EQ(study_row(study_vehicle(idle)).rfind("cap,800,", 0), 0u);
}

}  // namespace

namespace {

std::string swept(const Grid& grid, Shard shard, int jobs, bool header = true) {
    std::string text;
    run_sweep(
        grid, shard, jobs, [&](std::string_view bytes) { return text.append(bytes), true; }, [] { return true; },
        nullptr);
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
    // Two rows' figures to the last digit, as the program gave them when they were checked.
    EXPECT_NE(whole.find("\n20,39.85,lift,250,12.500000000000043,17.572545696526841,133.8281819223408,"
                         "14524.527245567047,2.7444186959102734,12.451732035799887,17.539068673155864,"
                         "132.98079794407212,14524.527245567047,197.98952626067432,2080.7410182436279,0.047513134549163186,"
                          "0.0087620464947713392,2.3944910779361037,\n"),
              std::string::npos) << whole;
    EXPECT_NE(whole.find("\n30,39.85,lift,562,28.100000000000264,19.700147577430066,379.28432456300135,"
                         "50616.696443578796,4.2785373014414594,28.056024780980568,19.690022526959911,"
                         "378.41822867581539,50616.696443578796,296.17117742101215,3806.8774093804113,0.074536404420862873,"
                         "0.0059015094786495706,1.7297716082216184,\n"),
              std::string::npos) << whole;
    // The same designs studied as results, not text.
    std::vector<StudyResult> results(6);
    ASSERT_EQ(study_grid(grid, {0, 6}, 3, results.data(), [] { return true; }), 6);
    EXPECT_EQ(grid.value(4, 0), 30.0);
    EXPECT_EQ(grid.value(4, 1), 39.85);
    EXPECT_EQ(study_row(results[4]), line.empty() ? "" : study_row(study_vehicle(grid.design(4))));
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
    EXPECT_EQ(second.rfind("-8,invalid,,,,,,,,,,,,,,,,propeller thrust -", 0), 0u) << second;
    EXPECT_NE(second.find(" N is negative at t = "), std::string::npos) << second;
    const char* refused[][2] = {
        {"mass=20:30:0", "--sweep mass=20:30:0: COUNT must be from 1 to 1000000000, not 0"},
        {"mass=20:30:1000000001", "--sweep mass=20:30:1000000001: COUNT must be from 1 to 1000000000"},
        {"mass=20:30:x", "--sweep mass=20:30:x: COUNT must be a whole number, not 'x'"},
        {"mass=20:inf:3", "--sweep mass=20:inf:3: 'inf' is not a finite number"},
        {"mass=20:1e999:3", "--sweep mass=20:1e999:3: '1e999' is not a finite number"},
        {"mass=1:2", "--sweep mass=1:2: expected KEY=FIRST:LAST:COUNT"},
        {"mass=a,b", "--sweep mass=a,b: 'a' is not a number"},
        {"mas=1:2:3", "--sweep mas=1:2:3: unknown key 'mas'"},
        {"mass=-1:30:3", "--sweep mass=-1:30:3: mass: must be greater than 0"},
        {"lift_rotors=1:2:3", "--sweep lift_rotors=1:2:3: lift_rotors: expected a whole number"},
        {"propeller_thrust=1:2:3", "--sweep propeller_thrust=1:2:3: propeller_thrust has 3 elements"},
        // Every value of a list is checked before any work, the middle ones too.
        {"mass=1,-1,2", "--sweep mass=1,-1,2: mass: must be greater than 0, not -1"},
        {"mass=1,2\n", "--sweep mass=1,2\\n: '2\\n' is not a number"},
    };
    for (const auto& bad : refused) {
        try {
            parse_sweep(bad[0]);
            ADD_FAILURE() << "accepted: " << bad[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(bad[1], 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(parse_sweep("mas=1,2"), UnknownKeyError);
    EXPECT_THROW(Grid(built_in_vehicle, {parse_sweep("mass=1:2:3"), parse_sweep("mass=4,5")}), VehicleError);
    // Two coefficients of one polynomial are two values, not one swept twice.
    EXPECT_EQ(Grid(built_in_vehicle, {parse_sweep("propeller_thrust[0]=40,45"), parse_sweep("propeller_thrust[1]=-1,-2")})
                  .size(), 4);
    // At most 10^9 designs, exactly that many included.
    EXPECT_EQ(Grid(built_in_vehicle, {parse_sweep("mass=1:2:1000"), parse_sweep("gravity=1:2:1000"),
                                      parse_sweep("wing_area=1:2:1000")}).size(), 1000000000);
    EXPECT_THROW(Grid(built_in_vehicle, {parse_sweep("mass=1:2:1000"), parse_sweep("gravity=1:2:1000"),
                                         parse_sweep("wing_area=1:2:1001")}),
                 VehicleError);
    const char* shards[][2] = {
        {"0/4", "--shard 0/4: K must be from 1 to 4, not 0"},
        {"5/4", "--shard 5/4: K must be from 1 to 4, not 5"},
        {"1/4294967297", "--shard 1/4294967297: N must be from 1 to 1000000000, not 4294967297"},
        {"1/-4", "--shard 1/-4: N must be a whole number, not '-4'"},
        {"1/4x", "--shard 1/4x: N must be a whole number, not '4x'"},
        {"14", "--shard 14: expected K/N"},
    };
    for (const auto& bad : shards) {
        std::int64_t k = 0, n = 0;
        try {
            parse_shard(bad[0], k, n);
            ADD_FAILURE() << "accepted: " << bad[0];
        } catch (const VehicleError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(bad[1], 0), 0u) << e.what();
        }
    }
    std::int64_t k = 0, n = 0;
    parse_shard("3/7", k, n);
    EXPECT_EQ(k * 10 + n, 37);
    EXPECT_THROW(shard_of(10, 0, 4), VehicleError);
    EXPECT_EQ(parse_jobs("1024"), 1024);
    for (const char* bad : {"abc", "0", "1025", "-1", "2 "}) EXPECT_THROW(parse_jobs(bad), VehicleError) << bad;
    try {
        parse_jobs("abc");
    } catch (const VehicleError& e) {
        EXPECT_STREQ(e.what(), "--jobs abc: the number of threads must be a whole number, not 'abc'");
    }
}

// A range's values never leave the span of its ends, even where their difference overflows,
// and end exactly at LAST; every design of such a range is studied, none aborts the sweep.
TEST(Sweep, RangesStayWithinTheirEnds) {
    EXPECT_EQ(parse_sweep("mass=0.3:0.9:3").at(2), 0.9);  // 0.3 + 0.6 * 2 / 2 is 0.9000000000000001
    EXPECT_EQ(parse_sweep("mass=0.7:0.1:3").at(2), 0.1);
    // Where first + (last - first) i / (count - 1) rounds below LAST at the last value.
    EXPECT_EQ(parse_sweep("wing_area=0.3:1.7:7").at(6), 1.7);
    const Sweep wide = parse_sweep("angle_of_attack[0]=-1e308:1e308:3");
    EXPECT_EQ(wide.at(1), 0.0);
    // Both ends valid, so is every value between them: the middle of a span whose
    // difference overflows is 0, not the NaN of inf - inf.
    const Sweep thrust = parse_sweep("propeller_thrust[0]=-1e308:1e308:3");
    EXPECT_EQ(thrust.at(0), -1e308);
    EXPECT_EQ(thrust.at(1), 0.0);
    EXPECT_EQ(thrust.at(2), 1e308);
    const Sweep heavy = parse_sweep("mass=1:1.5e308:4");
    double previous = 0.0;
    for (std::int64_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::isfinite(heavy.at(i)) && heavy.at(i) > previous && heavy.at(i) <= 1.5e308) << i;
        previous = heavy.at(i);
    }
    const std::string rows = swept(Grid(built_in_vehicle, {heavy}), {0, 4}, 2, false);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 4);
    EXPECT_NE(rows.find("\n1.5e+308,invalid,"), std::string::npos) << rows;
}

// The sweep's engine stops promptly: at a failed write, when asked to, and when a design's
// work throws on any thread (which must come back to the caller, not end the process).
TEST(Sweep, StopsAtOnceAtAFailedWriteAStopOrAFailure) {
    std::atomic<std::int64_t> computed{0};
    const auto compute = [&](std::int64_t begin, std::int64_t end) {
        computed += end - begin;
        return std::string(static_cast<std::size_t>(end - begin), 'r');
    };
    int takes = 0;
    EXPECT_EQ(run_in_order(1000000000, 3, 16, compute, [&](std::string&, std::int64_t) { return ++takes < 3; },
                           [] { return true; }),
              32);
    EXPECT_LT(computed, 16 * 32 * 3 + 64) << "kept computing after the write failed";
    computed = 0;
    takes = 0;
    EXPECT_EQ(run_in_order(1000000000, 2, 16, compute, [&](std::string&, std::int64_t) { return ++takes, true; },
                           [&] { return takes < 4; }),
              64);
    EXPECT_LT(computed, 16 * 32 * 2 + 64);
    for (int jobs : {1, 2, 4}) {
        try {
            run_in_order(
                100000, jobs, 16,
                [](std::int64_t begin, std::int64_t) -> std::string {
                    if (begin == 16 * 40) throw VehicleError("design 640");
                    return "";
                },
                [](std::string&, std::int64_t) { return true; }, [] { return true; });
            ADD_FAILURE() << "the failure was lost, jobs " << jobs;
        } catch (const VehicleError& e) {
            EXPECT_STREQ(e.what(), "design 640");
        }
    }
    // Progress counts designs done up to all of them, never past.
    std::FILE* shown = std::tmpfile();
    ASSERT_NE(shown, nullptr);
    const Grid grid(built_in_vehicle, {parse_sweep("mass=20:30:40")});
    std::string text;
    run_sweep(grid, shard_of(40, 2, 2), 2, [&](std::string_view b) { return text.append(b), true; },
              [] { return true; }, shown);
    std::rewind(shown);
    char line[256] = {};
    const std::size_t got = std::fread(line, 1, sizeof line - 1, shown);
    std::fclose(shown);
    const std::string progress(line, got);
    EXPECT_EQ(progress.substr(progress.rfind('\r') + 1), "transition-study: 20 of 20 designs (100.0 %)\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 21);
}

}  // namespace
