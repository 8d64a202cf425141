#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string base = ::testing::TempDir() + "sweep_ulps_test." + std::to_string(getpid());

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// x moved by n doubles (down for a negative n), with 17 digits: an oracle of its own,
// stepping through the doubles one at a time.
std::string moved(double x, int n) {
    for (; n > 0; --n) x = std::nextafter(x, INFINITY);
    for (; n < 0; ++n) x = std::nextafter(x, -INFINITY);
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// A small sweep as transition-study writes it: a swept key, the stop and its step count,
// reals, the empty located moment of a run stopped by the step cap, and an invalid design
// with its note.
const std::string header = "mass,stop,steps,v,event_t,note\n";
const std::vector<std::string> rows = {
    "20,lift,330,18.723291000000001,16.5,\n",
    "25,cap,800,15.629243408548612,,\n",
    "30,invalid,,,,propeller thrust -0.0196487 N is negative at t = 3.475 s (step 70)\n",
};
std::string sweep(std::vector<std::string> changed = rows) {
    std::string text = header;
    for (const std::string& row : changed) text += row;
    return text;
}
std::vector<std::string> with_row(std::size_t i, const std::string& row) {
    std::vector<std::string> changed = rows;
    changed[i] = row;
    return changed;
}

// One comparison of OTHER with the sweep above: the exit status, standard output, and
// the start of the first line on standard error (none if empty).
struct Comparison {
    const char* what;
    std::string other;
    int status;
    std::string out;
    std::string err;
};

void expect_comparisons(const std::vector<Comparison>& comparisons, const std::string& reference = sweep()) {
    std::system(("rm -rf '" + base + "' && mkdir -p '" + base + "'").c_str());
    std::ofstream(base + "/reference.csv", std::ios::binary) << reference;
    for (const Comparison& c : comparisons) {
        std::ofstream(base + "/other.csv", std::ios::binary) << c.other;
        const int raw = std::system(("cd '" + base + "' && " EMULATOR " " SWEEP_ULPS
                                     " reference.csv other.csv >out 2>err").c_str());
        ASSERT_TRUE(WIFEXITED(raw)) << c.what;
        EXPECT_EQ(WEXITSTATUS(raw), c.status) << c.what;
        EXPECT_EQ(slurp(base + "/out"), c.out) << c.what;
        const std::string err = slurp(base + "/err");
        EXPECT_EQ(err.substr(0, c.err.size()), c.err) << c.what << ": " << err;
        if (c.err.empty()) {
            EXPECT_EQ(err, "") << c.what;
        }
        if (c.status == 1) {
            EXPECT_EQ(err.find('\n'), err.size() - 1) << c.what << ": not one line: " << err;
        }
    }
    std::system(("rm -rf '" + base + "'").c_str());
}

std::string summary(int differing, const std::string& largest) {
    return "other.csv: " + std::to_string(differing) + " of 3 rows differ from reference.csv; largest difference in ulps: " +
           largest + "\n";
}

TEST(SweepUlps, AcceptsRealsWithinFourUlpsAndCountsTheRowsThatDiffer) {
    const double v = 18.723291000000001;
    expect_comparisons({
        {"the same sweep", sweep(), 0, summary(0, "mass 0, v 0, event_t 0"), ""},
        {"columns found by name, in another order",
         "note,event_t,v,steps,stop,mass\n,16.5,18.723291000000001,330,lift,20\n,,15.629243408548612,800,cap,25\n"
         "propeller thrust -0.0196487 N is negative at t = 3.475 s (step 70),,,,invalid,30\n",
         0, summary(0, "mass 0, v 0, event_t 0"), ""},
        {"4 ulps above and below", sweep({"20,lift,330," + moved(v, 4) + ",16.5,\n", "25,cap,800," + moved(15.629243408548612, -4) + ",,\n", rows[2]}),
         0, summary(2, "mass 0, v 4, event_t 0"), ""},
    });
    expect_comparisons({{"across zero: -0 is 0, the smallest doubles either side of it 2 apart",
                         header + "-0,lift,1,0," + moved(0.0, -1) + ",\n", 0,
                         "other.csv: 1 of 1 rows differ from reference.csv; largest difference in ulps: mass 0, v 0, event_t 2\n",
                         ""}},
                       header + "0,lift,1,-0," + moved(0.0, 1) + ",\n");
}

TEST(SweepUlps, FailsOnAStopOrStepsOrTextThatDiffersOrARealBeyondFourUlps) {
    const double v = 18.723291000000001;
    expect_comparisons({
        {"5 ulps", sweep(with_row(0, "20,lift,330," + moved(v, 5) + ",16.5,\n")), 3, summary(1, "mass 0, v 5, event_t 0"),
         "other.csv:2: v " + moved(v, 5) + " is 5 ulps from 18.723291000000001, more than 4 in reference.csv\n"},
        {"another stop", sweep(with_row(0, "20,speed,330,18.723291000000001,16.5,\n")), 3,
         summary(1, "mass 0, v 0, event_t 0"), "other.csv:2: stop 'speed' differs from 'lift' in reference.csv\n"},
        {"one step more", sweep(with_row(1, "25,cap,801,15.629243408548612,,\n")), 3, summary(1, "mass 0, v 0, event_t 0"),
         "other.csv:3: steps '801' differs from '800' in reference.csv\n"},
        {"a located moment lost: no real of event_t left to compare", sweep(with_row(0, "20,lift,330,18.723291000000001,,\n")), 3,
         summary(1, "mass 0, v 0"), "other.csv:2: event_t '' differs from '16.5' in reference.csv\n"},
        {"another note", sweep(with_row(2, "30,invalid,,,,propeller thrust -0.0196488 N is negative at t = 3.475 s (step 70)\n")),
         3, summary(1, "mass 0, v 0, event_t 0"), "other.csv:4: note 'propeller thrust -0.0196488"},
        {"the last row missing", header + rows[0] + rows[1], 3,
         "other.csv: 0 of 2 rows differ from reference.csv; largest difference in ulps: mass 0, v 0, event_t 0\n",
         "other.csv: fewer rows than reference.csv: its row of line 4 is missing\n"},
        {"a row too many", sweep() + rows[2], 3, summary(0, "mass 0, v 0, event_t 0"),
         "other.csv: more rows than reference.csv: its row of line 5 is extra\n"},
    });
}

TEST(SweepUlps, RefusesWhatIsNotASweepWithItsLine) {
    expect_comparisons({
        {"empty", "", 1, "", "other.csv:1: expected a header line\n"},
        {"a field short", header + rows[0] + "25,cap,800,15.629243408548612,\n" + rows[2], 1, "",
         "other.csv:3: expected 6 fields as in the header, not 5\n"},
        {"no line feed at the end", sweep().substr(0, sweep().size() - 1), 1, "",
         "other.csv:4: expected a line feed at the end of the line\n"},
        {"CR LF", header + "20,lift,330,18.723291000000001,16.5,\r\n" + rows[1] + rows[2], 1, "",
         "other.csv:2: expected a line feed alone, not CR LF\n"},
        {"a name twice", "mass,stop,steps,v,v,note\n", 1, "", "other.csv:1: expected distinct column names, not 'v' twice\n"},
        {"an empty name", "mass,stop,,v,event_t,note\n", 1, "", "other.csv:1: expected a column name, not an empty one\n"},
        {"no steps", "mass,stop,v,event_t,note\n", 1, "", "other.csv:1: expected a 'steps' column in the header\n"},
        {"a column less", "mass,stop,steps,v,note\n", 1, "",
         "other.csv:1: expected the columns of reference.csv, not without 'event_t'\n"},
        {"a column more", "mass,stop,steps,v,event_t,note,peak\n", 1, "",
         "other.csv:1: expected the columns of reference.csv, not 'peak' too\n"},
    });
}

TEST(SweepUlps, UsageAndMissingFiles) {
    std::system(("rm -rf '" + base + "' && mkdir -p '" + base + "'").c_str());
    const auto run = [](const std::string& arguments) {
        const int raw = std::system(("cd '" + base + "' && " EMULATOR " " SWEEP_ULPS " " + arguments + " >out 2>err").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    EXPECT_EQ(run("reference.csv"), 2);
    EXPECT_EQ(slurp(base + "/err"), "usage: sweep_ulps REFERENCE.csv OTHER.csv\n");
    EXPECT_EQ(run("--ulps reference.csv"), 2);
    EXPECT_EQ(run("missing.csv other.csv"), 1);
    EXPECT_EQ(slurp(base + "/err").rfind("missing.csv: cannot open it: ", 0), 0u) << slurp(base + "/err");
    EXPECT_EQ(slurp(base + "/out"), "");
    std::system(("rm -rf '" + base + "'").c_str());
}

}  // namespace
