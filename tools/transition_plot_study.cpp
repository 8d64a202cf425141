// Draws a design sweep: transition-plot-study STUDY.csv|- OUT.png|OUT.svg|OUT.pdf, STUDY the
// table transition-study --sweep writes, the format from OUT's extension in any case. With
// one swept key, four panels against it: the located transition time, the distance and
// lift-rotor energy there, and the peak lift-rotor power; a design without the value (an
// invalid one, or for the located moment one stopped by the step cap or whose moment could
// not be located) leaves a gap. With two keys, the same four as colour maps over the grid,
// a cell per design. The table is read strictly, line by line; of it, only numbers read as
// such and the keys' names, as gnuplot strings, reach gnuplot's script.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "output_file/gnuplot_picture.h"
#include "picture_tool.h"
#include "study/study.h"
#include "vehicle_file/vehicle_file.h"

namespace {

const std::string program = "transition-plot-study";

// Far longer than any line of a sweep of one or two keys.
constexpr std::size_t longest_line = 4096;

// What is drawn: a column of the study's, divided by `divisor` in the picture.
struct Quantity {
    const char* column;
    const char* what;
    const char* unit;
    int divisor;
};
const Quantity quantities[] = {
    {"event_t", "located transition time", "s", 1},
    {"event_x", "distance at that moment", "m", 1},
    {"event_w", "lift-rotor energy by then", "kJ", 1000},
    {"peak_power", "peak lift-rotor power", "W", 1},
};
constexpr std::size_t drawn = sizeof quantities / sizeof quantities[0];

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) return fields;
        start = comma + 1;
    }
}

// Whether `text` is a finite number, all of it, read in no locale.
bool read_number(std::string_view text, double& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && std::isfinite(value);
}

std::string shortest(double value) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// One design: its swept values, and the texts of the drawn quantities ("NaN" for none).
struct Design {
    double at[2];
    std::string keys;
    std::string figures;
};

// A sweep's table, read line by line, and the gnuplot script that draws it.
class SweepTable {
public:
    explicit SweepTable(const std::string& name) : name_(name) {
        for (std::string_view column : fields_of(study_header)) columns_.emplace_back(column);
        columns_.push_back("note");
    }

    void line(std::string_view text, std::size_t number) {
        number_ = number;
        if (number == 1)
            header(text);
        else
            row(text);
    }

    // The end of the input, after `rest`, a last line without its line feed.
    void finish(const std::string& rest) {
        if (!rest.empty()) {
            ++number_;
            refuse("a line feed at the end of every line: this one is cut short");
        }
        ++number_;
        if (number_ == 1) refuse("a sweep's header: the swept keys, then " + std::string(study_header) + ",note");
        if (designs_.empty()) refuse("a design's row after the header");
    }

    std::string script();

private:
    [[noreturn]] void refuse(const std::string& what) const {
        throw TraceError(name_ + ":" + std::to_string(number_) + ": expected " + what);
    }

    std::size_t column(std::string_view name) const {
        const auto found = std::find(columns_.begin(), columns_.end(), name);
        return keys_.size() + static_cast<std::size_t>(found - columns_.begin());
    }

    void header(std::string_view text) {
        const std::vector<std::string_view> fields = fields_of(text);
        if (fields.size() < columns_.size() ||
            !std::equal(columns_.begin(), columns_.end(), fields.end() - columns_.size()))
            refuse("a sweep's header: the swept keys, then " + std::string(study_header) + ",note");
        const std::size_t keys = fields.size() - columns_.size();
        if (keys == 0)
            throw std::runtime_error(name_ + ": no swept key; only a sweep of one or two keys can be drawn");
        if (keys > 2) {
            std::string names(fields[0]);
            for (std::size_t k = 1; k < keys; ++k) names += ", " + std::string(fields[k]);
            throw std::runtime_error(name_ + ": a sweep of " + std::to_string(keys) + " keys (" + names +
                                     "); only one or two keys can be drawn");
        }
        for (std::size_t k = 0; k < keys; ++k) {
            const std::string key(fields[k]);
            try {
                const VehicleValue value = find_value(key, key);
                keys_.push_back(key);
                units_.push_back(value_unit(value));
            } catch (const VehicleError& unknown) {
                refuse(std::string("each swept key a vehicle key (") + unknown.what() + ")");
            }
        }
        if (keys == 2 && keys_[0] == keys_[1]) refuse("two different swept keys");
    }

    void row(std::string_view text) {
        const std::vector<std::string_view> fields = fields_of(text);
        if (fields.size() != keys_.size() + columns_.size())
            refuse(std::to_string(keys_.size() + columns_.size()) + " fields, as in the header, not " +
                   std::to_string(fields.size()));
        Design design{};
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            if (!read_number(fields[k], design.at[k]))
                refuse("a number as " + keys_[k] + ", not '" + std::string(fields[k]) + "'");
            design.keys += (k == 0 ? "" : " ") + std::string(fields[k]);
        }
        const std::string stop(fields[column("stop")]);
        const bool invalid = stop == "invalid", cap = stop == "cap";
        if (!invalid && !cap && stop != "lift" && stop != "speed")
            refuse("a stop of lift, speed, cap or invalid, not '" + stop + "'");
        // A run stopped by lift or speed whose moment could not be located has all four
        // event_* fields empty, and only then any.
        std::size_t events_empty = 0;
        for (std::size_t c = column("event_t"); c <= column("event_w"); ++c) events_empty += fields[c].empty();
        const bool unlocated = !invalid && !cap && events_empty == 4;
        if (!invalid && !cap && events_empty != 0 && !unlocated)
            refuse("all four event_* figures or none (a moment not located), not " + std::to_string(events_empty) +
                   " of them");
        for (std::size_t c = column("steps"); c < column("note"); ++c) {
            const std::string& name = columns_[c - keys_.size()];
            const std::string field(fields[c]);
            if (unlocated && name.rfind("event_", 0) == 0) continue;
            if (invalid || (cap && name.rfind("event_", 0) == 0)) {
                if (!field.empty())
                    refuse(name + " empty for " + (invalid ? "an invalid design" : "a design stopped by the step cap") +
                           ", not '" + field + "'");
                continue;
            }
            double value = 0;
            const bool steps = name == "steps";
            if (!read_number(field, value) || (steps && (value < 1 || value != std::floor(value))))
                refuse((steps ? "a whole number of steps" : "a number as " + name) + ", not '" + field + "'");
        }
        if (invalid == fields.back().empty())
            refuse(invalid ? "a note saying why the design is invalid" : "no note for a design that is not invalid");
        for (std::size_t q = 0; q < drawn; ++q) {
            const std::string_view field = fields[column(quantities[q].column)];
            design.figures += ' ' + (field.empty() ? std::string("NaN") : std::string(field));
            valued_[q] += !field.empty();
        }
        invalid_ += invalid;
        cap_ += cap;
        unlocated_ += unlocated;
        speed_ += stop == "speed";
        designs_.push_back(std::move(design));
    }

    std::string title(const std::string& grid) const;
    std::string axis(std::size_t k) const {
        return gnuplot_string(keys_[k] + (units_[k].empty() ? "" : " (" + units_[k] + ")"));
    }

    const std::string& name_;
    std::vector<std::string> columns_;  // after the keys
    std::vector<std::string> keys_, units_;
    std::size_t number_ = 0;
    std::vector<Design> designs_;
    std::size_t valued_[drawn] = {};
    std::size_t invalid_ = 0, cap_ = 0, unlocated_ = 0, speed_ = 0;
};

// `grid` is "" or the grid's size, " (21 x 11)".
std::string SweepTable::title(const std::string& grid) const {
    std::string title = "Sweep of " + keys_[0] + (keys_.size() == 2 ? " and " + keys_[1] : "") + ": " +
                        std::to_string(designs_.size()) + " designs" + grid;
    if (invalid_ > 0) title += ", " + std::to_string(invalid_) + " invalid";
    if (cap_ > 0) title += ", " + std::to_string(cap_) + " without transition (cap)";
    if (unlocated_ > 0) title += ", " + std::to_string(unlocated_) + " without located moment";
    if (speed_ > 0) title += ", " + std::to_string(speed_) + " stopped at 25 m/s";
    if (invalid_ > 0 || cap_ > 0 || unlocated_ > 0)
        title += "\ngaps: invalid designs, and for the located moment the designs stopped by the step cap or "
                 "without a located moment";
    return title;
}

// The extent of each swept value's cell along its axis, `values` sorted and distinct: cell i
// from edges[i] to edges[i + 1], halfway to its neighbours and as far past the ends; a lone
// value gets a twentieth of itself each way.
std::vector<double> cell_edges(const std::vector<double>& values) {
    if (values.size() == 1) {
        const double half = values[0] == 0 ? 0.5 : std::fabs(values[0]) / 20;
        return {values[0] - half, values[0] + half};
    }
    std::vector<double> edges{values[0] - (values[1] - values[0]) / 2};
    for (std::size_t i = 1; i < values.size(); ++i)
        edges.push_back(values[i - 1] + (values[i] - values[i - 1]) / 2);
    edges.push_back(values.back() + (values.back() - values[values.size() - 2]) / 2);
    return edges;
}

std::string SweepTable::script() {
    const bool map = keys_.size() == 2;
    std::string script = "$designs << EOD\n", grid;
    if (!map) {
        std::stable_sort(designs_.begin(), designs_.end(),
                         [](const Design& a, const Design& b) { return a.at[0] < b.at[0]; });
        for (const Design& d : designs_) script += d.keys + d.figures + '\n';
    } else {
        std::vector<double> values[2], edges[2];
        for (int k = 0; k < 2; ++k) {
            for (const Design& d : designs_) values[k].push_back(d.at[k]);
            std::sort(values[k].begin(), values[k].end());
            values[k].erase(std::unique(values[k].begin(), values[k].end()), values[k].end());
            edges[k] = cell_edges(values[k]);
        }
        grid = " (" + std::to_string(values[0].size()) + " x " + std::to_string(values[1].size()) + ")";
        for (const Design& d : designs_) {
            script += d.keys;
            for (int k = 0; k < 2; ++k) {
                const auto at = std::lower_bound(values[k].begin(), values[k].end(), d.at[k]);
                const auto i = static_cast<std::size_t>(at - values[k].begin());
                script += ' ' + shortest(edges[k][i]) + ' ' + shortest(edges[k][i + 1]);
            }
            script += d.figures + '\n';
        }
    }
    script += "EOD\nset termoption noenhanced\nset multiplot layout 2,2 title " + gnuplot_string(title(grid)) +
              " font \"sans,13\"\nset key off\nset xlabel " + axis(0) + "\n";
    if (map)
        script += "set ylabel " + axis(1) + "\nset autoscale xfix\nset autoscale yfix\nset tics out\n"
                  "set palette defined (0 \"#440154\", 1 \"#3b528b\", 2 \"#21918c\", 3 \"#5ec962\", 4 \"#fde725\")\n";
    else
        script += "set grid\nset autoscale xfix\nset offsets graph 0.02, graph 0.02, graph 0.05, graph 0.05\n";
    // A panel without a single value gets a range of its own, which gnuplot cannot find.
    const std::string scale = map ? "cb" : "y";
    for (std::size_t q = 0; q < drawn; ++q) {
        const Quantity& quantity = quantities[q];
        const std::string label = gnuplot_string(std::string(quantity.what) + " (" + quantity.unit + ")");
        const std::string value = "($" + std::to_string((map ? 7 : 2) + q) +
                                  (quantity.divisor == 1 ? "" : " / " + std::to_string(quantity.divisor)) + ")";
        if (valued_[q] == 0)
            script += "set " + scale + "range [0:1]\n"
                      "set label 1 \"no design has a value\" at graph 0.5, 0.5 center front\n";
        if (map)
            script += "set title " + label + "\nplot $designs using 1:2:3:4:5:6:" + value +
                      " with boxxyerror fillstyle solid noborder fillcolor palette title " +
                      gnuplot_string(quantity.what) + "\n";
        else
            script += "set ylabel " + label + "\nplot $designs using 1:" + value +
                      " with linespoints lw 2 pt 7 ps 0.6 title " + gnuplot_string(quantity.what) + "\n";
        if (valued_[q] == 0) script += "set autoscale " + scale + "\nunset label 1\n";
    }
    return script + "unset multiplot\n";
}

}  // namespace

int main(int argc, char** argv) {
    return run_picture_tool(
        program,
        "Draws a design sweep, the table transition-study --sweep writes: located transition time, distance, "
        "energy and peak lift-rotor power against one swept key, or as colour maps over two.",
        {"STUDY", "STUDY.csv|-", "the sweep's table, a file or - for standard input"}, argc, argv,
        [&](const TraceInput& input) {
            SweepTable table(input.name());
            table.finish(read_lines(input.fd(), input.name(), longest_line,
                                    [&](std::string_view line, std::size_t number) { table.line(line, number); }));
            return table.script();
        });
}
