// sweep_ulps REFERENCE.csv OTHER.csv
// Two design sweeps' CSV, as transition-study --sweep writes it, built by two compilers,
// CPUs or maths libraries, compared row by row; each file's columns are found by the names
// in its header. In every row `stop` and `steps` must be the same, every real number
// within 4 units in the last place of the reference's, and every other field the same text.
// Prints one line: how many rows differ at all and, for each column of reals, the largest
// difference in ulps. Exit 0 when every row is within that; 3 when not, each such row
// named on standard error as OTHER:LINE; 1 with one line FILE:LINE: for a file that is
// not such a CSV (nothing on standard output); 2 for a usage error.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t most_ulps = 4;
constexpr long most_reported = 20;

struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A CSV file read line by line: a header of distinct, non-empty names, then rows of as many
// fields, every line ended by a line feed alone. Fields hold no quotes or commas.
class Csv {
public:
    explicit Csv(const std::string& name) : name_(name), in_(name, std::ios::binary) {
        if (!in_) throw BadInput(name + ": cannot open it: " + std::strerror(errno));
        std::vector<std::string> header;
        if (!next(header)) throw BadInput(name + ":1: expected a header line");
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i].empty()) throw BadInput(where() + "expected a column name, not an empty one");
            if (std::find(header.begin(), header.begin() + i, header[i]) != header.begin() + i) {
                throw BadInput(where() + "expected distinct column names, not '" + header[i] + "' twice");
            }
        }
        columns_ = header;
        for (const char* needed : {"stop", "steps"}) {
            if (column(needed) == npos) throw BadInput(where() + "expected a '" + needed + "' column in the header");
        }
    }

    // The next row's fields; false at the end of the file.
    bool next(std::vector<std::string>& fields) {
        std::string text;
        if (!std::getline(in_, text)) {
            if (in_.bad()) throw BadInput(name_ + ": cannot read it: " + std::strerror(errno));
            return false;
        }
        ++line_;
        if (in_.eof()) throw BadInput(where() + "expected a line feed at the end of the line");
        if (text.find('\r') != std::string::npos) throw BadInput(where() + "expected a line feed alone, not CR LF");
        fields.clear();
        for (std::size_t start = 0;;) {
            const std::size_t comma = text.find(',', start);
            fields.push_back(text.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        if (!columns_.empty() && fields.size() != columns_.size()) {
            throw BadInput(where() + "expected " + std::to_string(columns_.size()) + " fields as in the header, not " +
                           std::to_string(fields.size()));
        }
        return true;
    }

    static constexpr std::size_t npos = std::string::npos;
    std::size_t column(const std::string& name) const {
        const auto found = std::find(columns_.begin(), columns_.end(), name);
        return found == columns_.end() ? npos : static_cast<std::size_t>(found - columns_.begin());
    }
    const std::vector<std::string>& columns() const { return columns_; }
    const std::string& name() const { return name_; }
    long line() const { return line_; }
    std::string where() const { return name_ + ":" + std::to_string(line_) + ": "; }

private:
    std::string name_;
    std::ifstream in_;
    std::vector<std::string> columns_;
    long line_ = 0;
};

// A field that is a finite number in full, as the sweep writes its reals.
bool real(const std::string& field, double& x) {
    const char* end = field.data() + field.size();
    const std::from_chars_result read = std::from_chars(field.data(), end, x);
    return !field.empty() && read.ec == std::errc() && read.ptr == end && std::isfinite(x);
}

// How many doubles lie from a to b, both finite: the difference of their places in the
// order of all doubles (-0 and +0 both at 0).
std::uint64_t ulps_between(double a, double b) {
    auto place = [](double x) {
        std::int64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::uint64_t p = static_cast<std::uint64_t>(place(a)), q = static_cast<std::uint64_t>(place(b));
    return static_cast<std::int64_t>(p - q) >= 0 ? p - q : q - p;
}

// Compares the two files; prints the summary line and the rows beyond on standard error.
// Returns whether every row is within.
bool compare(Csv& reference, Csv& other) {
    // For each reference column, where it is in the other file.
    std::vector<std::size_t> at;
    for (const std::string& name : reference.columns()) {
        const std::size_t i = other.column(name);
        if (i == Csv::npos) {
            throw BadInput(other.where() + "expected the columns of " + reference.name() + ", not without '" + name + "'");
        }
        at.push_back(i);
    }
    for (const std::string& name : other.columns()) {
        if (reference.column(name) == Csv::npos) {
            throw BadInput(other.where() + "expected the columns of " + reference.name() + ", not '" + name + "' too");
        }
    }
    const std::size_t stop = reference.column("stop"), steps = reference.column("steps");
    std::vector<std::uint64_t> largest(at.size(), 0);
    std::vector<bool> reals(at.size(), false);
    std::vector<std::string> named;  // why a row is beyond, for the first few
    long rows = 0, differing = 0, beyond = 0;
    auto refuse_row = [&](const std::string& why) {
        if (++beyond <= most_reported) named.push_back(why);
    };
    std::vector<std::string> a, b;
    for (;;) {
        const bool more = reference.next(a), more_other = other.next(b);
        if (more != more_other) {
            refuse_row(other.name() + ": " + (more ? "fewer" : "more") + " rows than " + reference.name() +
                       ": its row of line " + std::to_string((more ? reference : other).line()) +
                       (more ? " is missing" : " is extra"));
        }
        if (!more || !more_other) break;
        ++rows;
        std::string why;
        bool differs = false;
        for (std::size_t k = 0; k < at.size(); ++k) {
            const std::string &mine = a[k], &theirs = b[at[k]];
            const bool counted = k != stop && k != steps;
            double x, y;
            if (mine == theirs) {
                if (counted && !reals[k] && real(mine, x)) reals[k] = true;
                continue;
            }
            differs = true;
            const bool numbers = counted && real(mine, x) && real(theirs, y);
            if (numbers) {
                const std::uint64_t ulps = ulps_between(x, y);
                reals[k] = true;
                largest[k] = std::max(largest[k], ulps);
                if (ulps <= most_ulps) continue;
            }
            if (why.empty()) {
                why = numbers ? reference.columns()[k] + " " + theirs + " is " + std::to_string(ulps_between(x, y)) +
                                    " ulps from " + mine + ", more than " + std::to_string(most_ulps)
                              : reference.columns()[k] + " '" + theirs + "' differs from '" + mine + "'";
            }
        }
        differing += differs;
        if (!why.empty()) refuse_row(other.where() + why + " in " + reference.name());
    }
    for (const std::string& why : named) std::fprintf(stderr, "%s\n", why.c_str());
    if (beyond > most_reported) {
        std::fprintf(stderr, "%s: %ld rows beyond in all, the first %ld named\n", other.name().c_str(), beyond,
                     most_reported);
    }
    std::string largest_text;
    for (std::size_t k = 0; k < at.size(); ++k) {
        if (!reals[k]) continue;
        largest_text += (largest_text.empty() ? "" : ", ") + reference.columns()[k] + " " + std::to_string(largest[k]);
    }
    std::printf("%s: %ld of %ld rows differ from %s; largest difference in ulps: %s\n", other.name().c_str(),
                differing, rows, reference.name().c_str(), largest_text.empty() ? "no reals" : largest_text.c_str());
    return beyond == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || argv[1][0] == '-' || argv[2][0] == '-') {
        std::fprintf(stderr, "usage: sweep_ulps REFERENCE.csv OTHER.csv\n");
        return 2;
    }
    try {
        Csv reference(argv[1]);
        Csv other(argv[2]);
        const bool within = compare(reference, other);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "sweep_ulps: cannot write the summary: %s\n", std::strerror(errno));
            return 1;
        }
        return within ? 0 : 3;
    } catch (const BadInput& bad) {
        std::fprintf(stderr, "%s\n", bad.what());
        return 1;
    }
}
