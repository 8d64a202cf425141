#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

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
    const std::string out = ::testing::TempDir() + "run.out", err = ::testing::TempDir() + "run.err";
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
    // The third write fails and the later ones succeed: only the stream's error flag knows.
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace not installed";
    const Outcome lost = run(TRANSITION, ">/dev/null",
                             "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=write "
                             "-e inject=write:error=EIO:when=3");
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(lost.err, message + std::strerror(EIO) + "\n");
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

    // Lift exactly equal to the weight stops the run: the test is not strict.
    const std::vector<std::string> lifting = lines_of(run(TRANSITION_LIFTING).out);
    ASSERT_GE(lifting.size(), 4u);
    ASSERT_LT(lifting.size(), 802u);
    const std::string& last = lifting[lifting.size() - 3];
    EXPECT_NE(last.find(" Q 245.250000 lift 245.250000"), std::string::npos) << last;
    EXPECT_EQ(field(lifting[lifting.size() - 4], "lift"), 0.0);
    EXPECT_EQ(lifting.back().rfind(" alpha ", 0), 0u) << lifting.back();
}

}  // namespace
