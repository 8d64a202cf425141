#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Reading a transition trace strictly: exactly the lines of trace_lines.h, per step four
// pairs of coefficient and force line, then the step line; after the last step an empty
// line, the summary line and nothing more. Every value is a plain decimal
// (-?[0-9]+\.[0-9]+), read in no locale. Lines may end in CR LF; line 1 may begin with a
// UTF-8 byte-order mark. A run cut short (no summary, its last line perhaps unfinished)
// gives its complete steps.

// The columns of one step: the step line's values, then those of the step's fourth model
// evaluation (its last force and coefficient lines), the one that gave the step its lift.
// Units as printed: s, m/s^2, m/s, m, J, N, N, N, N, deg, -, -. t is the start of the step;
// every other value belongs to its end, t + run_step.
enum TraceColumn : std::size_t { col_t, col_a, col_v, col_x, col_w, col_Q, col_lift,
                                 col_thrust, col_drag, col_alpha, col_Cx, col_Cz };
inline constexpr std::size_t trace_columns = 12;
inline constexpr const char* trace_column_names[trace_columns] = {
    "t", "a", "v", "x", "w", "Q", "lift", "thrust", "drag", "alpha", "Cx", "Cz"};

// Each value twice: the trace's own text, and that text read as a double.
struct TraceStep {
    std::array<std::string, trace_columns> text;
    std::array<double, trace_columns> value;
};

// The summary line: angle of attack of the last evaluation (deg), final v (m/s), x (m), w (J).
enum SummaryColumn : std::size_t { sum_alpha, sum_v, sum_x, sum_w };
struct TraceSummary {
    std::array<std::string, 4> text;
    std::array<double, 4> value;
};

struct TraceEnd {
    std::size_t steps;                    // complete steps read, at least one
    std::optional<TraceSummary> summary;  // absent when the run was cut short
};

// A trace that is not what the program prints, as one line: "NAME:LINE: expected ..." at
// its first wrong line, or "NAME: no complete step, not a transition trace". Other inputs
// read line by line, as a sweep's table, are refused the same way.
class TraceError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads descriptor fd (left open) to its end, line by line in a fixed memory, passing
// on_line each line and its number from 1 without its line feed, a CR before that, or on
// line 1 a UTF-8 byte-order mark. A line of more than `longest` bytes, all of them counted,
// is refused as soon as it is, with TraceError "NAME:LINE: expected a line of at most
// LONGEST bytes". Returns what follows the last line feed, an unfinished line. Throws
// std::runtime_error "NAME: cannot read it: REASON" when reading fails, and whatever
// on_line throws.
std::string read_lines(int fd, const std::string& name, std::size_t longest,
                       const std::function<void(std::string_view line, std::size_t number)>& on_line);

// Reads the trace on descriptor fd (left open) in constant memory, calling on_step for
// each complete step in order, as soon as its step line is read; `name` is the input's
// name in messages. The step passed is reused for the next. More than run_step_cap steps,
// or a line longer than any the program can print, is refused at that line. Throws
// TraceError for what is not a trace, std::runtime_error "NAME: cannot read it: REASON"
// when reading fails, and whatever on_step throws.
TraceEnd read_trace(int fd, const std::string& name,
                    const std::function<void(const TraceStep&)>& on_step);

// A trace named on a command line: "-" is standard input, named "standard input" in
// messages; any other name a file, opened for reading and closed with this object.
// Throws std::runtime_error "NAME: cannot open it: REASON".
class TraceInput {
public:
    explicit TraceInput(const std::string& argument);
    ~TraceInput();
    TraceInput(const TraceInput&) = delete;
    TraceInput& operator=(const TraceInput&) = delete;
    int fd() const { return fd_; }
    const std::string& name() const { return name_; }

private:
    int fd_;
    bool owned_;
    std::string name_;
};
