#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "transition_run/calk.h"

namespace {

struct Outcome {
    int status;  // exit status, or -1 if the process did not exit normally
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs a program through the shell (and the emulator, in a cross build), its standard
// output captured or sent to `redirect`, under `wrapper` if one is given.
Outcome run(const std::string& program, std::string redirect = "", const std::string& wrapper = "") {
    // Named for this process: ctest may run several tests at once.
    const std::string stem = ::testing::TempDir() + "run." + std::to_string(getpid());
    const std::string out = stem + ".out", err = stem + ".err";
    std::remove(out.c_str());
    if (redirect.empty()) redirect = ">'" + out + "'";
    const std::string command =
        wrapper + " " EMULATOR " '" + program + "' " + redirect + " 2>'" + err + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

std::vector<std::string> step_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> steps;
    for (const std::string& l : lines)
        if (l.rfind("t ", 0) == 0) steps.push_back(l);
    return steps;
}

// The value printed after " name " in a step line.
double field(const std::string& line, const std::string& name) {
    return std::stod(line.substr(line.find(" " + name + " ") + name.size() + 2));
}

TEST(TransitionRun, StopsWhenTheWingCarriesTheWeight) {
    const Outcome r = run(TRANSITION);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3350u);
    EXPECT_EQ(lines[0], "alpha -2.336866 Cx 0.036204 Cz 0.328524");
    EXPECT_EQ(lines[1], "vel 0.000000 thrust 247.080352 drag 0.000000 lift 0.000000 ");
    EXPECT_EQ(lines[8],
              "t 0.000000 a 1.991196 v 0.099672 x 0.002493 w 145.034656 Q 245.250000 lift 0.002401");
    const std::vector<std::string> steps = step_lines(lines);
    ASSERT_EQ(steps.size(), 372u);
    EXPECT_EQ(steps[371].rfind("t 18.550000 ", 0), 0u);
    EXPECT_NE(steps[371].find(" Q 245.250000 lift 246.108361"), std::string::npos);
    // Once the rotors idle, energy stops growing while the speed still rises.
    for (std::size_t i = 369; i < 372; ++i)
        EXPECT_NE(steps[i].find(" w 28347.250350 "), std::string::npos) << steps[i];
    EXPECT_EQ(lines[3348], "");
    EXPECT_EQ(lines[3349], " alpha 3.542290 v 18.723291 x 223.371278 w 28347.250350");
}

TEST(TransitionRun, TraceMatchesTheReferenceByteForByte) {
    const std::string expected = slurp(EXPECTED_TRACE);
    const std::string actual = run(TRANSITION).out;
    ASSERT_FALSE(expected.empty()) << "reference trace missing: " << EXPECTED_TRACE;
    if (actual == expected) return;
    const std::vector<std::string> want = lines_of(expected), got = lines_of(actual);
    std::size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
    ADD_FAILURE() << "trace differs from the reference first at line " << i + 1
                  << "\n  expected: " << (i < want.size() ? want[i] : "<end of trace>")
                  << "\n  actual:   " << (i < got.size() ? got[i] : "<end of trace>");
}

TEST(TransitionRun, LostOutputIsReportedAsFailure) {
    const std::string message = "transition: cannot write the trace: ";
    const Outcome full = run(TRANSITION, ">/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, message + std::strerror(ENOSPC) + "\n");
    const Outcome closed = run(TRANSITION, ">&-");
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, message + std::strerror(EBADF) + "\n");
    const Outcome discarded = run(TRANSITION, ">/dev/null");
    EXPECT_EQ(discarded.status, 0);
    EXPECT_EQ(discarded.err, "");
}

// One write fails and the others succeed: the third, which only the stream's error flag
// remembers, and the very last, which only the final flush sees.
TEST(TransitionRun, InjectedWriteErrorsNeedStrace) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace not installed";
    const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e trace=write ";
    const std::string writes = ::testing::TempDir() + "writes." + std::to_string(getpid());
    run(TRANSITION, ">/dev/null",
        "ASAN_OPTIONS=detect_leaks=0 strace -f -o '" + writes + "' -e trace=write -e signal=none");
    int last = 0;
    for (const std::string& line : lines_of(slurp(writes)))
        if (line.find("write(1, ") != std::string::npos) ++last;
    ASSERT_GT(last, 3);
    // The stream keeps no reason for an earlier failure: EIO is the one said then.
    for (const auto& [when, error] : {std::pair(std::string("3"), EIO), std::pair(std::to_string(last), ENOSPC)}) {
        const Outcome lost = run(TRANSITION, ">/dev/null",
                                 strace + "-e inject=write:error=" + (error == EIO ? "EIO" : "ENOSPC") +
                                     ":when=" + when);
        EXPECT_EQ(lost.status, 1) << "write " << when << " of " << last;
        EXPECT_EQ(lost.err, "transition: cannot write the trace: " + std::string(std::strerror(error)) + "\n");
    }
}

// The real driver over stand-in models: each run ends on its own stop condition, at the
// first step that meets it, and the summary follows that step.
TEST(TransitionRun, EachStopConditionEndsTheRunAtItsFirstStep) {
    const Outcome r = run(TRANSITION_CAPPED);
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = lines_of(r.out);
    const std::vector<std::string> steps = step_lines(lines);
    ASSERT_EQ(steps.size(), 800u);
    // 799 additions of 0.05 sum to just below 39.95, which still prints as 39.950000.
    EXPECT_EQ(steps.back().rfind("t 39.950000 a 0.500000 v 20.0", 0), 0u) << steps.back();
    ASSERT_EQ(lines.size(), 802u);
    EXPECT_EQ(lines[800], "");
    EXPECT_EQ(lines[801].rfind(" alpha 11.4", 0), 0u) << lines[801];

    // 0.105 m/s per step passes 25 m/s at the 239th step.
    const std::vector<std::string> fast = lines_of(run(TRANSITION_FAST).out);
    ASSERT_EQ(fast.size(), 241u);
    EXPECT_LE(field(fast[237], "v"), 25.0) << fast[237];
    EXPECT_GT(field(fast[238], "v"), 25.0) << fast[238];
    EXPECT_EQ(fast[239], "");
    EXPECT_EQ(fast[240].rfind(" alpha ", 0), 0u) << fast[240];

    // The speed test is strict, at the last double: 25 m/s itself does not stop the run.
    EXPECT_FALSE(run_stops(25.0, 0.0, 245.25, 0, 800));
    EXPECT_TRUE(run_stops(std::nextafter(25.0, 26.0), 0.0, 245.25, 0, 800));
    EXPECT_TRUE(run_stops(0.0, 245.25, 245.25, 0, 800));
    EXPECT_FALSE(run_stops(0.0, std::nextafter(245.25, 0.0), 245.25, 798, 800));
    EXPECT_TRUE(run_stops(0.0, 0.0, 245.25, 799, 800));

    // Lift exactly equal to the weight stops the run: the test is not strict.
    const std::vector<std::string> lifting = lines_of(run(TRANSITION_LIFTING).out);
    ASSERT_GE(lifting.size(), 4u);
    ASSERT_LT(lifting.size(), 802u);
    const std::string& last = lifting[lifting.size() - 3];
    EXPECT_NE(last.find(" Q 245.250000 lift 245.250000"), std::string::npos) << last;
    EXPECT_EQ(field(lifting[lifting.size() - 4], "lift"), 0.0);
    EXPECT_EQ(lifting.back().rfind(" alpha ", 0), 0u) << lifting.back();
}

// The step-size study: the run at h = 0.05 / 2^k, each stopping where its own stop test
// fires within its own scaled cap, with time by repeated addition and 17 digits.
TEST(StepStudy, RefinesTheRunsOwnStep) {
    const Outcome r = run(STEP_STUDY);
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> rows = lines_of(r.out);
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0], "h,fixed_v,fixed_x,fixed_w,stop_step,stop_t,stop_v,stop_x,stop_w");
    double t = 0.0;
    for (int i = 0; i < 372; ++i) t = t + 0.05;
    char end[32];
    std::snprintf(end, sizeof end, "%.17g", t);
    EXPECT_EQ(std::string(end), "18.600000000000129");
    const std::string state = "18.723290880092627,223.37127827420943,28347.25034993513";
    EXPECT_EQ(rows[1], "0.050000000000000003," + state + ",372," + end + "," + state);
    const int stop_steps[] = {372, 743, 1485, 2969, 5938, 11876, 23751};
    std::vector<double> first;
    for (int k = 0; k < 7; ++k) {
        std::vector<double> row;
        std::istringstream in(rows[k + 1]);
        for (std::string value; std::getline(in, value, ',');) row.push_back(std::stod(value));
        ASSERT_EQ(row.size(), 9u) << rows[k + 1];
        if (k == 0) first = row;
        EXPECT_EQ(row[4], stop_steps[k]) << rows[k + 1];
        EXPECT_NEAR(row[5], row[4] * row[0], 1e-10) << rows[k + 1];
        // At 18.6 s every step size agrees to the trace's last digits.
        EXPECT_NEAR(row[1], first[1], 4e-6) << rows[k + 1];
        EXPECT_NEAR(row[2], first[2], 5e-7) << rows[k + 1];
        EXPECT_NEAR(row[3], first[3], 2e-4) << rows[k + 1];
    }
    const Outcome full = run(STEP_STUDY, ">/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "step_study: cannot write the table: " + std::string(std::strerror(ENOSPC)) + "\n");
}

}  // namespace
