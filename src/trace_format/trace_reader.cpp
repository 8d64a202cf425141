#include "trace_format/trace_reader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#ifdef _WIN32
#include <filesystem>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "trace_format/trace_lines.h"
#include "transition_run/calk.h"

namespace {

// A line form: a format of trace_lines.h without its line feeds (the summary's leading one
// is the empty line before it).
constexpr std::string_view form_of(const char* format) {
    std::string_view form(format);
    while (!form.empty() && form.front() == '\n') form.remove_prefix(1);
    while (!form.empty() && form.back() == '\n') form.remove_suffix(1);
    return form;
}
constexpr std::string_view coefficient_form = form_of(coefficient_line);
constexpr std::string_view force_form = form_of(force_line);
constexpr std::string_view step_form = form_of(step_line);
constexpr std::string_view summary_form = form_of(summary_line);

// The longest a form's line can print: "%f" of a finite double is at most a sign, 309
// integer digits (DBL_MAX is 1.8e308), the point and six decimals.
constexpr std::size_t longest(std::string_view form) {
    std::size_t length = form.size();
    for (std::size_t i = 0; i + 1 < form.size(); ++i)
        if (form[i] == '%' && form[i + 1] == 'f') length += 1 + 309 + 1 + 6 - 2;
    return length;
}
// Any longer line, counting a byte-order mark and a CR before the line feed, is refused
// before more of it is read.
constexpr std::size_t longest_line =
    3 + 1 + std::max({longest(coefficient_form), longest(force_form), longest(step_form),
                      longest(summary_form)});

// A form as messages show it, each value the capital of the word naming it:
// "alpha %f Cx %f" is "alpha A Cx C".
std::string shown(std::string_view form) {
    std::string text;
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form.compare(i, 2, "%f") != 0) {
            text += form[i];
            continue;
        }
        const std::size_t space = text.size() < 2 ? std::string::npos : text.rfind(' ', text.size() - 2);
        const char initial = text[space == std::string::npos ? 0 : space + 1];
        text += initial >= 'a' && initial <= 'z' ? static_cast<char>(initial - 'a' + 'A') : initial;
        ++i;
    }
    return '"' + text + '"';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `line` is `form` with every "%f" a plain decimal; the values go in order to
// texts[k] and values[k]. Read by from_chars, which knows no locale.
bool matches(std::string_view line, std::string_view form, std::string* texts, double* values) {
    std::size_t j = 0, k = 0;
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form[i] != '%') {
            if (j >= line.size() || line[j++] != form[i]) return false;
            continue;
        }
        const std::size_t start = j;
        if (j < line.size() && line[j] == '-') ++j;
        const std::size_t integer = j;
        while (j < line.size() && is_digit(line[j])) ++j;
        if (j == integer || j >= line.size() || line[j] != '.') return false;
        const std::size_t decimals = ++j;
        while (j < line.size() && is_digit(line[j])) ++j;
        if (j == decimals) return false;
        const char* end = line.data() + j;
        const auto [stop, error] = std::from_chars(line.data() + start, end, values[k]);
        if (error != std::errc() || stop != end) return false;
        texts[k++].assign(line.data() + start, end);
        ++i;
    }
    return j == line.size();
}

// The reading of one trace, line by line.
class Reader {
public:
    Reader(const std::string& name, const std::function<void(const TraceStep&)>& on_step)
        : name_(name), on_step_(on_step) {}

    [[noreturn]] void refuse(const std::string& what) const {
        throw TraceError(name_ + ":" + std::to_string(number_) + ": expected " + what);
    }

    // Line `number`, as read_lines passes it.
    void line(std::string_view text, std::size_t number) {
        number_ = number;
        if (ended_) refuse("nothing after the summary line");
        if (closing_) {
            TraceSummary summary;
            if (!matches(text, summary_form, summary.text.data(), summary.value.data()))
                refuse("the summary line " + shown(summary_form));
            summary_ = std::move(summary);
            ended_ = true;
            return;
        }
        if (place_ == 0 && steps_ > 0 && text.empty()) {
            closing_ = true;
            return;
        }
        if (place_ == 0 && steps_ == static_cast<std::size_t>(run_step_cap))
            refuse("the empty line before the summary: a run stops after " +
                   std::to_string(run_step_cap) + " steps");
        if (place_ % 2 == 0 && place_ < 8) {
            // The fourth evaluation's values are the step's; the others are only checked.
            const bool fourth = place_ == 6;
            if (!matches(text, coefficient_form, fourth ? &step_.text[col_alpha] : scratch_text_,
                         fourth ? &step_.value[col_alpha] : scratch_value_))
                refuse("a coefficient line " + shown(coefficient_form) +
                       (place_ == 0 && steps_ > 0 ? " or the empty line before the summary" : ""));
        } else if (place_ % 2 == 1) {
            if (!matches(text, force_form, scratch_text_, scratch_value_))
                refuse("a force line " + shown(force_form));
            if (place_ == 7) {
                // vel, thrust, drag, lift: the step keeps thrust and drag.
                for (std::size_t k = 0; k < 2; ++k) {
                    step_.text[col_thrust + k].swap(scratch_text_[1 + k]);
                    step_.value[col_thrust + k] = scratch_value_[1 + k];
                }
            }
        } else {
            if (!matches(text, step_form, &step_.text[col_t], &step_.value[col_t]))
                refuse("a step line " + shown(step_form));
            ++steps_;
            place_ = 0;
            on_step_(step_);
            return;
        }
        ++place_;
    }

    // The end of the input, after `rest`, a last line without its line feed.
    TraceEnd finish(std::string_view rest) {
        // A run cut short may stop in mid-line; one that printed its summary was not cut.
        if (ended_ && !rest.empty()) {
            ++number_;
            refuse("nothing after the summary line");
        }
        if (steps_ == 0) throw TraceError(name_ + ": no complete step, not a transition trace");
        return {steps_, summary_};
    }

private:
    const std::string& name_;
    const std::function<void(const TraceStep&)>& on_step_;
    std::size_t number_ = 0;  // lines read
    std::size_t steps_ = 0;
    int place_ = 0;           // lines of the current step read, 0 to 8
    bool closing_ = false;    // the empty line after the last step was read
    bool ended_ = false;      // the summary line was read
    TraceStep step_{};
    std::string scratch_text_[4];
    double scratch_value_[4] = {};
    std::optional<TraceSummary> summary_;
};

long read_some(int fd, char* buffer, std::size_t size) {
#ifdef _WIN32
    return _read(fd, buffer, static_cast<unsigned>(size));
#else
    return static_cast<long>(::read(fd, buffer, size));
#endif
}

}  // namespace

std::string read_lines(int fd, const std::string& name, std::size_t longest,
                       const std::function<void(std::string_view line, std::size_t number)>& on_line) {
    std::string line;
    line.reserve(longest);
    std::size_t number = 0;
    char buffer[1 << 16];
    for (;;) {
        const long got = read_some(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error(name + ": cannot read it: " + std::strerror(errno));
        if (got == 0) return line;
        for (const char *p = buffer, *end = buffer + got; p < end;) {
            const char* feed = static_cast<const char*>(std::memchr(p, '\n', end - p));
            const char* stop = feed != nullptr ? feed : end;
            if (line.size() + (stop - p) > longest)
                throw TraceError(name + ":" + std::to_string(number + 1) + ": expected a line of at most " +
                                 std::to_string(longest) + " bytes");
            line.append(p, stop);
            if (feed == nullptr) break;
            std::string_view text = line;
            if (++number == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
            on_line(text, number);
            line.clear();
            p = feed + 1;
        }
    }
}

TraceEnd read_trace(int fd, const std::string& name,
                    const std::function<void(const TraceStep&)>& on_step) {
    Reader reader(name, on_step);
    const std::string rest = read_lines(fd, name, longest_line, [&](std::string_view line, std::size_t number) {
        reader.line(line, number);
    });
    return reader.finish(rest);
}

TraceInput::TraceInput(const std::string& argument)
    : fd_(0), owned_(argument != "-"), name_(owned_ ? argument : "standard input") {
#ifdef _WIN32
    if (!owned_) {
        _setmode(0, _O_BINARY);
        return;
    }
    fd_ = _wopen(std::filesystem::path(argument).c_str(), _O_RDONLY | _O_BINARY);
#else
    if (!owned_) return;
    fd_ = ::open(argument.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    if (fd_ < 0) throw std::runtime_error(name_ + ": cannot open it: " + std::strerror(errno));
}

TraceInput::~TraceInput() {
#ifdef _WIN32
    if (owned_) _close(fd_);
#else
    if (owned_) ::close(fd_);
#endif
}
