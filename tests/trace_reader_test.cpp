#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "trace_format/trace_reader.h"

namespace {

std::string reference_trace() {
    std::ifstream in(EXPECTED_TRACE, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What reading `text` as a trace gave: its steps as table rows, or the refusal.
struct Reading {
    std::vector<std::string> rows;
    TraceEnd end{};
    std::string refusal;
};

Reading read_text(const std::string& text) {
    const std::string path = ::testing::TempDir() +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::ofstream(path, std::ios::binary) << text;
    const TraceInput input(path);
    Reading reading;
    try {
        reading.end = read_trace(input.fd(), "T", [&](const TraceStep& step) {
            std::string row;
            for (std::size_t k = 0; k < trace_columns; ++k) {
                EXPECT_EQ(std::stod(step.text[k]), step.value[k]) << step.text[k];
                row += step.text[k] + (k + 1 < trace_columns ? "," : "");
            }
            reading.rows.push_back(row);
        });
    } catch (const TraceError& refused) {
        reading.refusal = refused.what();
    }
    return reading;
}

// Where line `number` (from 1) of `text` begins.
std::size_t line_start(const std::string& text, std::size_t number) {
    std::size_t start = 0;
    for (std::size_t n = 1; n < number; ++n) start = text.find('\n', start) + 1;
    return start;
}

// `text` with its line `number` replaced by `by`, which may hold several lines or none.
std::string with_line(const std::string& text, std::size_t number, const std::string& by) {
    return text.substr(0, line_start(text, number)) + by + text.substr(line_start(text, number + 1));
}

TEST(TraceReader, GivesEveryStepItsLinesValuesAndTheSummary) {
    const Reading r = read_text(reference_trace());
    ASSERT_EQ(r.refusal, "");
    ASSERT_EQ(r.rows.size(), 372u);
    EXPECT_EQ(r.end.steps, 372u);
    // Lines 7 and 8 are the first step's fourth evaluation, line 9 its step line.
    EXPECT_EQ(r.rows[0], "0.000000,1.991196,0.099672,0.002493,145.034656,245.250000,0.002401,"
                         "247.071767,0.000264,-2.334491,0.036209,0.328777");
    EXPECT_EQ(r.rows[371].substr(0, 12), "18.550000,0.");
    ASSERT_TRUE(r.end.summary);
    EXPECT_EQ(r.end.summary->text, (std::array<std::string, 4>{"3.542290", "18.723291",
                                                                "223.371278", "28347.250350"}));
    EXPECT_EQ(r.end.summary->value[sum_w], 28347.250350);
}

TEST(TraceReader, ReadsCrLfAndAByteOrderMarkAsThePrograms) {
    const std::string trace = reference_trace();
    std::string crlf = "\xEF\xBB\xBF";
    for (char c : trace) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const Reading plain = read_text(trace), marked = read_text(crlf);
    EXPECT_EQ(marked.refusal, "");
    EXPECT_EQ(marked.rows, plain.rows);
    EXPECT_TRUE(marked.end.summary);
}

// A run cut short keeps its complete steps: cut inside a value of step 111's line (which
// would still read as a number), after a whole line, after the empty line, or in the
// summary's line feed.
TEST(TraceReader, KeepsTheCompleteStepsOfARunCutShort) {
    const std::string trace = reference_trace();
    struct Cut {
        std::size_t length;
        std::size_t steps;
    };
    const std::size_t line_1000 = line_start(trace, 1000);
    for (const Cut& cut : {Cut{line_1000 - 4, 110}, Cut{line_1000, 111},
                           Cut{trace.size() - 56, 372}, Cut{trace.size() - 1, 372}}) {
        const Reading r = read_text(trace.substr(0, cut.length));
        EXPECT_EQ(r.refusal, "") << cut.length;
        EXPECT_EQ(r.end.steps, cut.steps) << cut.length;
        EXPECT_FALSE(r.end.summary) << cut.length;
    }
}

// A damaged trace is refused whole, at its first wrong line.
TEST(TraceReader, RefusesADamagedTraceAtItsFirstWrongLine) {
    const std::string trace = reference_trace();
    const std::string coefficient = "a coefficient line \"alpha A Cx C Cz C\"";
    const std::string force = "a force line \"vel V thrust T drag D lift L \"";
    const std::string step = "a step line \"t T a A v V x X w W Q Q lift L\"";
    const std::string summary = "the summary line \" alpha A v V x X w W\"";
    const std::string after = "nothing after the summary line";
    const std::string first_step = trace.substr(0, line_start(trace, 10));
    std::string capped;
    for (int k = 0; k < 801; ++k) capped += first_step;
    const struct {
        const char* what;
        std::string text;
        std::string refusal;
    } cases[] = {
        {"nothing", "", "T: no complete step, not a transition trace"},
        {"junk", "hello\nworld\n", "T:1: expected " + coefficient},
        {"nan in a fourth coefficient line", with_line(trace, 16, "alpha 1.0 Cx 0.1 Cz nan\n"),
         "T:16: expected " + coefficient},
        {"exponent in a step line",
         with_line(trace, 18, "t 0.050000 a 1.0 v 1e5 x 0.0 w 0.0 Q 245.250000 lift 0.0\n"),
         "T:18: expected " + step},
        {"integer in a step line",
         with_line(trace, 18, "t 0.050000 a 1.0 v 5 x 0.0 w 0.0 Q 245.250000 lift 0.0\n"),
         "T:18: expected " + step},
        {"no integer digit in a step line",
         with_line(trace, 18, "t 0.050000 a 1.0 v .5 x 0.0 w 0.0 Q 245.250000 lift 0.0\n"),
         "T:18: expected " + step},
        {"no decimal digit in a step line",
         with_line(trace, 18, "t 0.050000 a 1.0 v 5. x 0.0 w 0.0 Q 245.250000 lift 0.0\n"),
         "T:18: expected " + step},
        {"a byte-order mark on line 2", with_line(trace, 2, "\xEF\xBB\xBF" + trace.substr(line_start(trace, 2), line_start(trace, 3) - line_start(trace, 2))),
         "T:2: expected " + force},
        {"decimal comma in a step line",
         with_line(trace, 18, "t 0,050000 a 1.0 v 0.1 x 0.0 w 0.0 Q 245.250000 lift 0.0\n"),
         "T:18: expected " + step},
        {"a field too many",
         with_line(trace, 18, "t 0.05 a 1.0 v 0.1 x 0.0 w 0.0 Q 245.25 lift 0.0 0.5\n"),
         "T:18: expected " + step},
        {"force line without its last space",
         with_line(trace, 11, "vel 0.1 thrust 247.0 drag 0.0 lift 0.0\n"), "T:11: expected " + force},
        {"a line missing", with_line(trace, 5, ""), "T:5: expected " + coefficient},
        {"an unknown line", with_line(trace, 3, "hello\n"), "T:3: expected " + coefficient},
        {"two traces one after the other", trace + trace, "T:3351: expected " + after},
        {"junk after the summary without a line feed", trace + "x", "T:3351: expected " + after},
        {"summary line without its energy", with_line(trace, 3350, " alpha 3.5 v 18.7 x 223.3\n"),
         "T:3350: expected " + summary},
        {"text in the summary", with_line(trace, 3350, " alpha `ls` v 1.0 x 2.0 w 3.0\n"),
         "T:3350: expected " + summary},
        {"a step after the empty line", with_line(trace, 3350, first_step),
         "T:3350: expected " + summary},
        {"more steps than a run takes", capped + "\n alpha 1.0 v 1.0 x 1.0 w 1.0\n",
         "T:7201: expected the empty line before the summary: a run stops after 800 steps"},
        {"a line longer than any printed", std::string(3000, '7'),
         "T:1: expected a line of at most 2246 bytes"},
    };
    for (const auto& c : cases) {
        const Reading r = read_text(c.text);
        EXPECT_EQ(r.refusal, c.refusal) << c.what;
    }
}

}  // namespace
