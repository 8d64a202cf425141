// The extension module behind the Python package `transition`: the vehicles, runs, traces
// and sweeps of the C++ core, unchanged. Every figure is the double the core computes, the
// same that transition-study prints with 17 digits; every check and message is the core's.
// Long work runs with the interpreter's lock released, and a sweep gives way to Ctrl-C.
// The package's own Python (transition/__init__.py) puts the functions below under their
// signatures and makes the classes' methods of them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "derivatives/derivatives.h"
#include "flight_model/flight_model.h"
#include "study/study.h"
#include "study/sweep.h"
#include "vehicle_file/vehicle_file.h"
#ifdef TRANSITION_OPTIMIZE
#include "optimize/optimize.h"
#endif

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// The one key whose value is a count, read and given as a Python int.
constexpr const char* rotor_key = "lift_rotors";
// The row's column that counts steps: an int in a Result, int64 in a sweep's arrays.
constexpr const char* steps_column = "steps";

const std::vector<VehicleKey>& keys() {
    static const std::vector<VehicleKey> all = vehicle_keys();
    return all;
}

// The key `name`, given as a keyword to `call`: an unknown one is a TypeError, as an
// unexpected keyword is, with the core's nearest known key.
const VehicleKey& known_key(const std::string& name, const std::string& call) {
    for (const VehicleKey& k : keys()) {
        if (k.name == name) return k;
    }
    try {
        key_values(built_in_vehicle, name);
    } catch (const UnknownKeyError& e) {
        throw py::type_error(call + ": " + e.what());
    }
    throw py::type_error(call + ": unknown key '" + name + "'");
}

std::string type_name(py::handle x) { return Py_TYPE(x.ptr())->tp_name; }

// x as a double for `name`: an int, a float, a numpy scalar, anything with __float__ or
// __index__; a bool or a string is a wrong type, not a number. An int too large for a
// double becomes an infinity, which the core's checks refuse as not finite.
double number(py::handle x, const std::string& name) {
    if (PyBool_Check(x.ptr()) || PyUnicode_Check(x.ptr()) || PyBytes_Check(x.ptr())) {
        throw py::type_error(name + ": expected a number, not " + type_name(x));
    }
    const double value = PyFloat_AsDouble(x.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError) && PyLong_Check(x.ptr())) {
            PyErr_Clear();
            return PyObject_RichCompareBool(x.ptr(), py::int_(0).ptr(), Py_LT) == 1 ? -HUGE_VAL : HUGE_VAL;
        }
        PyErr_Clear();
        throw py::type_error(name + ": expected a number, not " + type_name(x));
    }
    return value;
}

bool is_integer(py::handle x) { return !PyBool_Check(x.ptr()) && PyIndex_Check(x.ptr()); }

// An integer (an int, a numpy integer) as a Python int.
py::int_ integer(py::handle x) {
    PyObject* index = PyNumber_Index(x.ptr());
    if (index == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(index);
}

std::string integer_text(py::handle x) { return py::str(integer(x)); }

// A whole number for the rotor count, as the digits of an int or a numpy integer (not a
// float), so that the core sees the very integer given, of any size.
std::string count(py::handle x, const std::string& name) {
    if (!is_integer(x)) throw py::type_error(name + ": expected an int, not " + type_name(x));
    return integer_text(x);
}

// The numbers of a sequence, by position: a list, a tuple, anything numpy's array protocol
// takes (a 1-D numpy array, a pandas Series, whose [i] is a label, not a position) or that
// iterates in order; not a string, and not a mapping (whose order is not its values').
std::vector<double> numbers(py::handle x, const std::string& name) {
    const auto refuse = [&] { return py::type_error(name + ": expected a sequence of numbers, not " + type_name(x)); };
    if (PyUnicode_Check(x.ptr()) || PyBytes_Check(x.ptr()) || PyByteArray_Check(x.ptr()) || PyDict_Check(x.ptr())) {
        throw refuse();
    }
    std::vector<double> all;
    py::object items = py::reinterpret_borrow<py::object>(x);
    if (py::hasattr(x, "__array__") || PyObject_CheckBuffer(x.ptr())) {
        const py::module_ numpy = py::module_::import("numpy");
        const py::array array = numpy.attr("asarray")(x);
        const char kind = array.dtype().kind();
        if (array.ndim() != 1) {
            throw py::type_error(name + ": expected a sequence of numbers, not an array of " +
                                 std::to_string(array.ndim()) + " dimensions");
        }
        if (kind == 'f' || kind == 'i' || kind == 'u') {
            const auto values = numpy.attr("ascontiguousarray")(array, "float64").cast<py::array_t<double>>();
            all.assign(values.data(), values.data() + values.size());
            return all;
        }
        if (kind != 'O') {
            throw py::type_error(name + ": expected numbers, not an array of " + std::string(py::str(array.dtype())));
        }
        items = array;  // objects: each checked below, in order
    } else if (!PySequence_Check(x.ptr())) {
        throw refuse();
    }
    std::size_t i = 0;
    for (const py::handle item : py::iter(items)) all.push_back(number(item, name + "[" + std::to_string(i++) + "]"));
    return all;
}

// The schedule's keys: the cubic's, or the table's two, which a vehicle has one form of.
constexpr const char* cubic_key = "angle_of_attack";
constexpr const char* speed_key = "schedule_speed";
constexpr const char* angle_key = "schedule_angle";

// A key's value in a Python vehicle: None for a schedule key of the form it does not have.
py::object key_value(const Vehicle& v, const VehicleKey& k) {
    if (!has_key(v, k.name)) return py::none();
    const std::vector<double> values = key_values(v, k.name);
    if (k.name == rotor_key) return py::int_(static_cast<long long>(values[0]));
    if (k.length == 1) return py::float_(values[0]);
    py::tuple all(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) all[i] = py::float_(values[i]);
    return std::move(all);
}

// Sets key k of v from a Python value through the file's checks; refused, v is unchanged.
void set_key(Vehicle& v, const VehicleKey& k, py::handle x) {
    if (k.name == rotor_key) {
        assign_count(k.name, count(x, k.name), v);
    } else if (k.length == 1) {
        assign_key(k.name, {number(x, k.name)}, v);
    } else {
        assign_key(k.name, numbers(x, k.name), v);
    }
}

bool same(const Vehicle& a, const Vehicle& b) {
    for (const VehicleKey& k : keys()) {
        const std::vector<double> x = key_values(a, k.name), y = key_values(b, k.name);
        if (x.size() != y.size() || (!x.empty() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) != 0))
            return false;
    }
    return true;
}

// A vehicle from keywords: the built-in aircraft with the keys given; a table schedule given
// as both its keys at once (of any number of knots, in place of the cubic), a schedule key
// given as None not given.
Vehicle vehicle_of(const py::kwargs& given, const std::string& call) {
    Vehicle v = built_in_vehicle;
    py::object speeds = py::none(), angles = py::none();
    for (const auto& item : given) {
        const std::string name = item.first.cast<std::string>();
        const VehicleKey& k = known_key(name, call);
        const bool schedule = name == cubic_key || name == speed_key || name == angle_key;
        if (schedule && item.second.is_none()) continue;
        if (name == speed_key) {
            speeds = py::reinterpret_borrow<py::object>(item.second);
        } else if (name == angle_key) {
            angles = py::reinterpret_borrow<py::object>(item.second);
        } else {
            set_key(v, k, item.second);
        }
    }
    if (speeds.is_none() && angles.is_none()) return v;
    if (given.contains(cubic_key) && !given[cubic_key].is_none()) {
        throw py::value_error(call + ": expected either angle_of_attack or schedule_speed and schedule_angle, not "
                                     "both schedules");
    }
    if (speeds.is_none() || angles.is_none()) {
        throw py::value_error(call + ": " + (speeds.is_none() ? angle_key : speed_key) + ": expected " +
                              (speeds.is_none() ? speed_key : angle_key) +
                              " too: a table schedule is its speeds and the angle at each");
    }
    assign_table(numbers(speeds, speed_key), numbers(angles, angle_key), v, call);
    return v;
}

Vehicle vehicle_or_built_in(const Vehicle* v) { return v != nullptr ? *v : built_in_vehicle; }

// A column's value in a Result: the stop's name, the step count as an int, a real as a
// float, None where the row's field is empty.
py::object column_value(const StudyResult& r, std::size_t column) {
    if (column == 0) return py::str(stop_name(r.stop));
    double value;
    if (!study_figure(r, column, value)) return py::none();
    if (std::strcmp(study_columns[column], steps_column) == 0) return py::int_(static_cast<long long>(value));
    return py::float_(value);
}

// What each column of a row is, and its unit: the docstrings of Result's attributes.
struct ColumnDoc {
    const char* column;
    const char* doc;
};
const ColumnDoc column_docs[] = {
    {"stop", "How the run ended: \"lift\" (the wing carries the weight), \"speed\" (past 25 m/s), \"cap\" "
             "(800 steps run) or \"invalid\" (the model left its range; see note)."},
    {"steps", "Steps taken, an int; None for an invalid design."},
    {"t", "Time at the end of the last step, s."},
    {"v", "Speed at the end of the last step, m/s."},
    {"x", "Distance flown at the end of the last step, m."},
    {"w", "Energy drawn by the lift rotors up to the end of the last step, J."},
    {"alpha", "Angle of attack of the last evaluation, as the row gives it in degrees, deg."},
    {"event_t", "The moment the stop condition holds on the integrated solution, s; None when it was not "
                "located (a run stopped by the step cap)."},
    {"event_v", "Speed at that moment, m/s; None when not located."},
    {"event_x", "Distance flown at that moment, m; None when not located."},
    {"event_w", "Energy drawn by the lift rotors up to that moment, J; None when not located."},
    {"peak_thrust", "Largest lift-rotor thrust of the run's evaluations, N."},
    {"peak_power", "Largest induced power of the lift rotors in the run's evaluations, W."},
    {"peak_alpha", "Largest scheduled angle of attack from rest to the located moment's speed (to the final "
                   "speed when not located), rad."},
    {"peak_pitch_rate", "Largest pitch rate of the nose in the run's evaluations, |d alpha / d t|, the schedule's "
                        "slope in speed times the acceleration, rad/s."},
    {"peak_acceleration", "Largest acceleration along the path in the run's evaluations, its size, m/s^2."},
};

std::string column_doc(const char* column) {
    for (const ColumnDoc& d : column_docs) {
        if (std::strcmp(d.column, column) == 0) return d.doc;
    }
    return std::string("Column ") + column + " of transition-study's row (its unit not known here).";
}

py::object note(const StudyResult& r) {
    if (r.stop != Stop::invalid) return py::none();
    return py::str(describe(r.invalid));
}

// Asked by a sweep on the calling thread, the interpreter's lock released: at most every
// 20 ms it takes the lock and lets Python run its signal handlers. A handler's exception
// (KeyboardInterrupt for Ctrl-C) stops the sweep, and stays set to be raised once the
// sweep has returned, its threads joined.
class SignalCheck {
public:
    bool operator()() {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(20)) return true;
        last_ = now;
        py::gil_scoped_acquire hold;
        if (PyErr_CheckSignals() != 0) raised_ = true;
        return !raised_;
    }
    // With the lock held again: raises what a handler raised, if one did.
    void raise_if_raised() const {
        if (raised_) throw py::error_already_set();
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    bool raised_ = false;
};

// A sweep's grid, shard and threads, checked as transition-study checks its arguments and
// in the same order, before any work.
struct SweepRequest {
    Grid grid;
    Shard shard;
    int jobs;
};

// Whether x is a table of columns: a dict, or anything with items() (a Mapping, a pandas
// DataFrame, whose items are its columns).
bool is_table(py::handle x) { return PyDict_Check(x.ptr()) || (!PyUnicode_Check(x.ptr()) && py::hasattr(x, "items")); }

// The columns of a table, each a key's values as a list sweep, refused after `where` KEY.
std::vector<Sweep> columns_of(py::handle table, const std::string& call, const std::string& where) {
    std::vector<Sweep> columns;
    for (const py::handle item : py::iter(table.attr("items")())) {
        const py::tuple pair = py::reinterpret_borrow<py::object>(item).cast<py::tuple>();
        if (!PyUnicode_Check(pair[0].ptr())) {
            throw py::type_error(call + ": the keys are vehicle keys as strings, not " + type_name(pair[0]));
        }
        const std::string key = pair[0].cast<std::string>();
        columns.push_back(list_sweep(key, numbers(pair[1], key), where + printable(key)));
    }
    return columns;
}

std::vector<Sweep> read_sweeps(py::handle grid) {
    std::vector<Sweep> sweeps;
    if (PyUnicode_Check(grid.ptr())) {
        sweeps.push_back(parse_sweep(grid.cast<std::string>()));
    } else if (is_table(grid)) {
        sweeps = columns_of(grid, "sweep", "sweep of ");
    } else if (PySequence_Check(grid.ptr())) {
        for (const py::handle text : py::reinterpret_borrow<py::sequence>(grid)) {
            if (!PyUnicode_Check(text.ptr())) {
                throw py::type_error("sweep: expected --sweep texts as strings, not " + type_name(text));
            }
            sweeps.push_back(parse_sweep(text.cast<std::string>()));
        }
    } else {
        throw py::type_error("sweep: expected a dict of keys to values or a list of --sweep texts, not " +
                             type_name(grid));
    }
    if (sweeps.empty()) throw py::value_error("sweep: expected at least one swept value");
    return sweeps;
}

// The threads of `jobs`, as --jobs takes them; the machine's cores for None.
int threads_of(py::handle jobs) {
    if (jobs.is_none()) return default_jobs();
    if (!is_integer(jobs)) throw py::type_error("jobs: expected an int, not " + type_name(jobs));
    const std::string threads = integer_text(jobs);
    return check_jobs(threads, "jobs=" + threads);
}

SweepRequest sweep_request(py::handle grid, const Vehicle* vehicle, py::handle jobs, py::handle shard) {
    const int threads = threads_of(jobs);
    std::int64_t k = 1, n = 1;
    if (!shard.is_none()) {
        // By position, as any sequence of numbers.
        const bool sequence = PySequence_Check(shard.ptr()) && !PyUnicode_Check(shard.ptr());
        const py::list pair = sequence ? py::list(py::reinterpret_borrow<py::object>(shard)) : py::list();
        if (pair.size() != 2 || !is_integer(pair[0]) || !is_integer(pair[1])) {
            throw py::type_error("shard: expected a pair of ints (k, n), not " + type_name(shard));
        }
        const std::string part = integer_text(pair[0]), parts = integer_text(pair[1]);
        check_shard(part, parts, "shard=(" + part + ", " + parts + ")", k, n);
    }
    std::vector<Sweep> sweeps = read_sweeps(grid);
    Grid whole(vehicle_or_built_in(vehicle), std::move(sweeps), "sweep", "sweep of ");
    const Shard part = shard_of(whole.size(), k, n);
    return {std::move(whole), part, threads};
}

// The designs of a shard studied in blocks of this many, so that the results waiting to
// be copied into the arrays take a bounded memory (about 10 MB).
constexpr std::int64_t block = 1 << 16;

// The designs of `shard` of g, studied on `jobs` threads, as the columns of the CSV that
// transition-study writes for them: numpy arrays of float64, steps int64, stop and note
// arrays of str objects (so that a text takes its own length, not the longest one's).
py::dict table_of(const Grid& g, const Shard& shard, int jobs) {
    const std::int64_t total = shard.end - shard.begin;
    const auto size = static_cast<py::ssize_t>(total);
    const std::size_t swept = g.sweeps().size();

    std::vector<py::array_t<double>> values, reals;
    std::vector<double*> value_data, real_data;
    for (std::size_t k = 0; k < swept; ++k) value_data.push_back(values.emplace_back(size).mutable_data());
    for (std::size_t c = 0; c < study_column_count; ++c) real_data.push_back(reals.emplace_back(size).mutable_data());
    py::array_t<std::int64_t> steps(size), notes(size);
    py::array_t<std::uint8_t> stops(size);
    std::int64_t* step_data = steps.mutable_data();
    std::uint8_t* stop_data = stops.mutable_data();
    std::int64_t* note_data = notes.mutable_data();

    const Stop kinds[] = {Stop::lift, Stop::speed, Stop::cap, Stop::invalid};
    py::list stop_names, note_texts;
    for (Stop s : kinds) stop_names.append(stop_name(s));
    note_texts.append("");

    SignalCheck check;
    std::vector<StudyResult> results(static_cast<std::size_t>(std::min(total, block)));
    std::vector<std::string> invalid;  // this block's notes, numbered after the earlier blocks'
    std::int64_t noted = 0;
    for (std::int64_t begin = 0; begin < total; begin += block) {
        const Shard part{shard.begin + begin, shard.begin + std::min(total, begin + block)};
        std::int64_t done;
        {
            py::gil_scoped_release free;
            done = study_grid(g, part, jobs, results.data(), [&] { return check(); });
            for (std::int64_t j = 0; j < done; ++j) {
                const std::int64_t i = begin + j;
                const StudyResult& r = results[static_cast<std::size_t>(j)];
                for (std::size_t k = 0; k < swept; ++k) value_data[k][i] = g.value(part.begin + j, k);
                stop_data[i] = static_cast<std::uint8_t>(std::find(kinds, kinds + 4, r.stop) - kinds);
                for (std::size_t c = 1; c < study_column_count; ++c) {
                    double x;
                    if (!study_figure(r, c, x)) x = std::nan("");
                    if (std::strcmp(study_columns[c], steps_column) == 0) {
                        step_data[i] = std::isnan(x) ? -1 : static_cast<std::int64_t>(x);
                    } else {
                        real_data[c][i] = x;
                    }
                }
                note_data[i] = 0;
                if (r.stop == Stop::invalid) {
                    invalid.push_back(describe(r.invalid));
                    note_data[i] = noted + static_cast<std::int64_t>(invalid.size());
                }
            }
        }
        check.raise_if_raised();
        for (const std::string& text : invalid) note_texts.append(text);
        noted += static_cast<std::int64_t>(invalid.size());
        invalid.clear();
    }

    // Text columns as arrays of str objects: each design's index into its texts, the few
    // stops and the notes of invalid designs, each text held once.
    const py::module_ numpy = py::module_::import("numpy");
    const auto texts = [&](const py::list& all, const py::array& index) -> py::object {
        return numpy.attr("array")(all, "dtype"_a = "object")[index];
    };
    py::dict table;
    for (std::size_t k = 0; k < swept; ++k) table[py::str(g.sweeps()[k].value.name)] = values[k];
    for (std::size_t c = 0; c < study_column_count; ++c) {
        const py::str name(study_columns[c]);
        if (c == 0) {
            table[name] = texts(stop_names, stops);
        } else if (std::strcmp(study_columns[c], steps_column) == 0) {
            table[name] = steps;
        } else {
            table[name] = reals[c];
        }
    }
    table["note"] = texts(note_texts, notes);
    return table;
}

py::dict sweep(py::handle grid, const Vehicle* vehicle, py::handle jobs, py::handle shard) {
    const SweepRequest request = sweep_request(grid, vehicle, jobs, shard);
    return table_of(request.grid, request.shard, request.jobs);
}

py::dict run_many(py::handle table, const Vehicle* vehicle, py::handle jobs) {
    const int threads = threads_of(jobs);
    if (!is_table(table)) {
        throw py::type_error("run_many: expected a dict or a DataFrame of columns, not " + type_name(table));
    }
    const Grid rows = Grid::rows(vehicle_or_built_in(vehicle), columns_of(table, "run_many", "run_many column "),
                                 "run_many", "run_many column ");
    return table_of(rows, {0, rows.size()}, threads);
}

py::str sweep_csv(py::handle grid, const Vehicle* vehicle, py::handle jobs, py::handle shard) {
    const SweepRequest request = sweep_request(grid, vehicle, jobs, shard);
    std::string csv;
    SignalCheck check;
    {
        py::gil_scoped_release free;
        run_sweep(
            request.grid, request.shard, request.jobs,
            [&](std::string_view bytes) {
                csv.append(bytes);
                return true;
            },
            [&] { return check(); }, nullptr);
    }
    check.raise_if_raised();
    return py::str(csv);
}

py::dict trace(const Vehicle* vehicle) {
    const Vehicle p = vehicle_or_built_in(vehicle);
    std::vector<StepFigures> steps;
    StudyResult r;
    {
        py::gil_scoped_release free;
        r = study_vehicle_steps(p, steps);
    }
    if (r.stop == Stop::invalid) throw py::value_error("the model leaves its range: " + describe(r.invalid));
    const auto n = static_cast<py::ssize_t>(steps.size());
    py::array_t<double> t(n), a(n), v(n), x(n), w(n), lift(n);
    double *pt = t.mutable_data(), *pa = a.mutable_data(), *pv = v.mutable_data(), *px = x.mutable_data(),
           *pw = w.mutable_data(), *pl = lift.mutable_data();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        pt[i] = steps[i].t;
        pa[i] = steps[i].a;
        pv[i] = steps[i].v;
        px[i] = steps[i].x;
        pw[i] = steps[i].w;
        pl[i] = steps[i].lift;
    }
    py::dict figures;
    figures["t"] = t;
    figures["a"] = a;
    figures["v"] = v;
    figures["x"] = x;
    figures["w"] = w;
    figures["lift"] = lift;
    figures["Q"] = weight(p);
    return figures;
}

// The best design within a box, as transition-study --minimize or --maximize finds it, as
// the package's minimize() gives it: a dict of the answer (found, vehicle, result, costs,
// caveats, runs, gradients), or of the design nearest to an answer (nearest, the message;
// nearest_requirement, nearest_missed, nearest_vehicle and nearest_result, None where no
// design can be flown).
py::dict minimize(const std::string& objective, py::handle vary, py::handle require, const Vehicle* vehicle,
                  bool maximize, py::handle jobs) {
#ifdef TRANSITION_OPTIMIZE
    const auto quoted = [](const std::string& text) { return std::string(py::repr(py::str(text))); };
    Problem problem{vehicle_or_built_in(vehicle), 0, maximize, {}, {}};
    problem.objective = smooth_column(objective, "objective " + quoted(objective));
    if (!PyDict_Check(vary.ptr())) throw py::type_error("vary: expected a dict of keys to (low, high), not " + type_name(vary));
    for (const auto& item : py::reinterpret_borrow<py::dict>(vary)) {
        if (!PyUnicode_Check(item.first.ptr())) {
            throw py::type_error("vary: a key is a vehicle key as a string, not " + type_name(item.first));
        }
        const std::string key = item.first.cast<std::string>();
        const std::string where = "vary[" + quoted(key) + "]";
        const std::vector<double> bounds = numbers(item.second, where);
        if (bounds.size() != 2) throw py::type_error(where + ": expected (low, high), not " + std::to_string(bounds.size()) + " numbers");
        for (const Varied& each : make_varied(key, bounds[0], bounds[1], problem.base,
                                              where + "=" + std::string(py::repr(item.second))))
            problem.vary.push_back(each);
    }
    if (PyUnicode_Check(require.ptr()) || !PySequence_Check(require.ptr())) {
        throw py::type_error("require: expected a sequence of 'COLUMN<=VALUE' texts, not " + type_name(require));
    }
    for (const py::handle text : py::reinterpret_borrow<py::sequence>(require)) {
        if (!PyUnicode_Check(text.ptr())) throw py::type_error("require: expected strings, not " + type_name(text));
        const std::string given = text.cast<std::string>();
        problem.require.push_back(parse_requirement(given, "require " + quoted(given)));
    }
    check_problem(problem, "vary");
    const int threads = threads_of(jobs);
    SignalCheck check;
    Optimum best;
    {
        py::gil_scoped_release free;
        best = optimize(problem, threads, nullptr, [&] { return check(); });
    }
    check.raise_if_raised();
    py::dict answer;
    answer["found"] = best.found;
    answer["runs"] = best.runs;
    answer["gradients"] = best.gradients;
    if (best.found) {
        answer["vehicle"] = best.vehicle;
        answer["result"] = best.result;
        py::dict costs;
        for (std::size_t j = 0; j < problem.require.size(); ++j) costs[py::str(problem.require[j].text)] = best.costs[j];
        answer["costs"] = costs;
        py::list lines;
        for (const std::string& line : caveats(problem, best)) lines.append(line);
        answer["caveats"] = lines;
        return answer;
    }
    answer["nearest"] = best.nearest;
    answer["nearest_requirement"] = best.nearest_requirement.empty() ? py::object(py::none())
                                                                     : py::object(py::str(best.nearest_requirement));
    answer["nearest_missed"] = best.nearest_requirement.empty() ? py::object(py::none())
                                                                : py::object(py::float_(best.nearest_missed));
    answer["nearest_vehicle"] = best.nearest_found ? py::cast(best.nearest_vehicle) : py::object(py::none());
    answer["nearest_result"] = best.nearest_found ? py::cast(best.nearest_result) : py::object(py::none());
    return answer;
#else
    (void)objective, (void)vary, (void)require, (void)vehicle, (void)maximize, (void)jobs;
    throw std::runtime_error("transition.minimize is not built here: it needs NLopt (apt-get install libnlopt-dev, "
                             "then configure again)");
#endif
}

// Every smooth figure's derivative with respect to every real value of the vehicle, as the
// package's derivatives() gives it: a dict from each figure to a dict from each value's name
// to its derivative, None where the table's entry is empty.
py::dict derivatives(const Vehicle* vehicle) {
    const Vehicle p = vehicle_or_built_in(vehicle);
    const std::vector<std::string> names = real_value_names(p);
    std::vector<std::size_t> all(names.size());
    for (std::size_t j = 0; j < all.size(); ++j) all[j] = j;
    StudyDerivatives d;
    {
        py::gil_scoped_release free;
        d = study_derivatives(p, all);
    }
    if (d.result.stop == Stop::invalid)
        throw py::value_error("no derivatives: the model leaves its range: " + describe(d.result.invalid));
    py::dict table;
    for (std::size_t i = 0; i < smooth_count; ++i) {
        py::dict column;
        for (std::size_t j = 0; j < names.size(); ++j) {
            const double x = d.d[i][j];
            column[py::str(names[j])] = d.known[i] && std::isfinite(x) ? py::object(py::float_(x)) : py::object(py::none());
        }
        table[smooth_columns[i]] = column;
    }
    return table;
}

std::string vehicle_repr(const Vehicle& v) {
    std::string text = "transition.Vehicle(";
    for (const VehicleKey& k : keys()) {
        if (&k != &keys().front()) text += ", ";
        text += k.name + "=" + std::string(py::repr(key_value(v, k)));
    }
    return text + ")";
}

std::string result_repr(const StudyResult& r) {
    std::string text = "transition.Result(";
    for (std::size_t c = 0; c < study_column_count; ++c) {
        text += std::string(c ? ", " : "") + study_columns[c] + "=" + std::string(py::repr(column_value(r, c)));
    }
    return text + ", note=" + std::string(py::repr(note(r))) + ")";
}

// A result's state, for pickling and equality: every field of the core's result, not only
// its columns (the angle of attack in rad, not the degrees of alpha; where an invalid design
// left the model's range), each exactly: a real as the 64 bits of its double, so that
// -0.0, infinities and NaNs come back as they were, under any pickle protocol.
template <class Visit, class... Fields>
void visit_fields(Visit& visit, Fields&... fields);

template <class Visit, class T>
void visit_field(Visit& visit, T& field) {
    if constexpr (std::is_array_v<T>) {
        for (auto& element : field) visit_field(visit, element);
    } else if constexpr (std::is_same_v<std::remove_const_t<T>, Invalid>) {
        auto& [quantity, value, t, step] = field;
        visit_fields(visit, quantity, value, t, step);
    } else {
        visit(field);
    }
}

template <class Visit, class... Fields>
void visit_fields(Visit& visit, Fields&... fields) {
    (visit_field(visit, fields), ...);
}

// Every field of r, in order, to visit: the one place that a result's state is made from and
// read back into. A field added to StudyResult joins here: the binding below does not compile
// with one name too few.
template <class R, class Visit>
void each_field(R& r, Visit&& visit) {
    auto& [stop, steps, t, y, alphaj, located, event_t, event_y, peak_thrust, peak_power, peak_alpha, peak_pitch_rate,
           peak_acceleration, invalid] = r;
    visit_fields(visit, stop, steps, t, y, alphaj, located, event_t, event_y, peak_thrust, peak_power, peak_alpha,
                 peak_pitch_rate, peak_acceleration, invalid);
}

struct StateWriter {
    py::list& state;
    void operator()(Stop stop) const { state.append(static_cast<int>(stop)); }
    void operator()(int n) const { state.append(n); }
    void operator()(bool b) const { state.append(b); }
    void operator()(double x) const {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        state.append(bits);
    }
    void operator()(const char* name) const {
        if (name == nullptr) {
            state.append(py::none());
        } else {
            state.append(name);
        }
    }
};

py::tuple result_state(const StudyResult& r) {
    py::list state;
    each_field(r, StateWriter{state});
    return py::tuple(state);
}

// A result read back from its state, with the name of the quantity that left the model's
// range held beside it (the core's results point at names of static storage).
struct RestoredResult {
    StudyResult result{};
    std::string quantity;
};

struct StateReader {
    const py::tuple& state;
    RestoredResult& restored;
    std::size_t next = 0;

    py::handle take(bool (*kind)(PyObject*)) {
        if (next >= state.size()) throw py::value_error("Result state: too few fields");
        const py::handle item = state[next++];
        if (!kind(item.ptr())) throw py::type_error("Result state: field " + std::to_string(next - 1) + " is a " + type_name(item));
        return item;
    }
    static bool whole(PyObject* x) { return PyLong_Check(x) && !PyBool_Check(x); }
    static bool boolean(PyObject* x) { return PyBool_Check(x); }
    static bool name(PyObject* x) { return x == Py_None || PyUnicode_Check(x); }

    void operator()(Stop& stop) {
        const int kind = take(whole).cast<int>();
        if (kind < 0 || kind > static_cast<int>(Stop::invalid)) throw py::value_error("Result state: no stop " + std::to_string(kind));
        stop = static_cast<Stop>(kind);
    }
    void operator()(int& n) { n = take(whole).cast<int>(); }
    void operator()(bool& b) { b = take(boolean).ptr() == Py_True; }
    void operator()(double& x) {
        const auto bits = take(whole).cast<std::uint64_t>();
        std::memcpy(&x, &bits, sizeof x);
    }
    void operator()(const char*& quantity) {
        const py::handle item = take(name);
        if (item.is_none()) {
            quantity = nullptr;
        } else {
            restored.quantity = item.cast<std::string>();
            quantity = restored.quantity.c_str();
        }
    }
};

std::shared_ptr<StudyResult> result_from_state(const py::tuple& state) {
    auto restored = std::make_shared<RestoredResult>();
    StateReader reader{state, *restored};
    try {
        each_field(restored->result, reader);
    } catch (const py::cast_error&) {
        throw py::value_error("Result state: a field out of range");
    }
    if (reader.next != state.size()) throw py::value_error("Result state: too many fields");
    return std::shared_ptr<StudyResult>(restored, &restored->result);
}

}  // namespace

PYBIND11_MODULE(_transition, m) {
    // The classes are named as the package shows them, transition.Vehicle and
    // transition.Result, in their reprs, pickles and the signatures of the calls below.
    const py::object own_name = m.attr("__name__");
    m.attr("__name__") = "transition";
    // Docstrings without pybind11's signature lines: the package's functions have their own.
    py::options options;
    options.disable_function_signatures();
    m.attr("__version__") = TRANSITION_VERSION;

    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const UnknownKeyError& e) {
            PyErr_SetString(PyExc_KeyError, e.what());
        } catch (const VehicleError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    // The classes are plain Python classes (their metaclass is type), as the stubs say; the
    // package's own Python code gives them their methods, with real signatures, over the
    // functions below, whose docstrings become the methods'.
    const py::metaclass plain(reinterpret_cast<PyObject*>(&PyType_Type));
    py::class_<Vehicle> vehicle(m, "Vehicle", plain, R"doc(An aircraft: the keys of a vehicle file, each an attribute.

Vehicle() is the built-in aircraft; Vehicle(mass=30, propeller_thrust=[45, -1.0136, 0.0145])
changes the keys given, as keywords, and keeps the built-in aircraft's values for the others.
SI units, angles in radians, polynomial coefficients in ascending powers. A scalar key is a
float, a polynomial a tuple of floats (given as any sequence, taken by position), lift_rotors
an int. Setting a key checks it as a vehicle file's value is checked: a bad value raises
ValueError with the file's message, naming the key, and leaves the vehicle as it was; a value
of the wrong type raises TypeError, and so does an unknown keyword.

str(v) is the vehicle as a vehicle file that reads back to the same doubles (transition-study
--show-vehicle); repr(v) evaluates back to an equal Vehicle; v.as_dict() gives the keys in
the file's order, and Vehicle(**v.as_dict()) == v. v1 == v2 compares every value bit for bit,
as doubles: -0.0 and 0.0 differ. Vehicles pickle (to worker processes too), and copy.copy
them.)doc");
    vehicle.def(py::init([](const py::kwargs& given) { return vehicle_of(given, "Vehicle()"); }));
    for (const VehicleKey& k : keys()) {
        const std::string what =
            k.name == rotor_key ? "int, " + k.what
            : k.length == 1     ? "float, " + k.what
            : k.length == 0     ? "tuple of floats, one per knot of a table schedule, " + k.what +
                                  "; None for the cubic schedule (a table is given with both its keys, "
                                  "Vehicle(schedule_speed=..., schedule_angle=...), or in a vehicle file)"
            : k.name == cubic_key
                ? "tuple of " + std::to_string(k.length) + " floats, " + k.what + "; None for a table schedule"
                : "tuple of " + std::to_string(k.length) + " floats, " + k.what;
        vehicle.def_property(
            k.name.c_str(), [k](const Vehicle& v) { return key_value(v, k); },
            [k](Vehicle& v, py::handle x) { set_key(v, k, x); }, what.c_str());
    }
    m.def(
        "_read_vehicle",
        [](const py::object& path) {
            const py::object name = py::module_::import("os").attr("fspath")(path);
            if (!PyUnicode_Check(name.ptr())) throw py::type_error("Vehicle.read: expected a str path, not bytes");
            Vehicle v = built_in_vehicle;
            try {
                read_vehicle_file(name.cast<std::string>(), v);
            } catch (const VehicleFileError& e) {
                // As open() raises it: OSError(errno, strerror, filename), the subclass
                // for the errno (FileNotFoundError, IsADirectoryError, ...).
                errno = e.error;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
                throw py::error_already_set();
            } catch (const VehicleError& e) {
                throw py::value_error(e.what());
            }
            return v;
        },
        R"doc(The aircraft of the vehicle file at `path` (str or os.PathLike): the built-in aircraft
with the file's keys. A file that cannot be opened or read raises OSError as open() does
(FileNotFoundError, IsADirectoryError, PermissionError, with errno and filename); a path with
a NUL byte raises ValueError. What is not a vehicle file raises ValueError with
transition-study's message, such as "mine.toml:2: unknown key 'mas'; the nearest known key
is 'mass'".)doc");
    m.def(
        "_set",
        [](Vehicle& v, const std::string& name, py::handle x) {
            const VehicleValue value = find_value(name, "Vehicle.set");
            set_value(value, number(x, name), v, "Vehicle.set");
        },
        R"doc(Sets one number: a scalar key ("mass") or one coefficient ("propeller_thrust[0]").
An unknown key raises KeyError; a bad name or value ValueError; the vehicle is then unchanged.)doc");
    m.def(
        "_apply", [](Vehicle& v, const std::string& setting) { apply_setting(setting, v, "Vehicle.apply"); },
        R"doc(Applies one setting as transition-study's --set takes it: "mass=30",
"propeller_thrust[0]=45", "angle_of_attack=[0, 0, 0, 0]". An unknown key raises KeyError,
anything else that is not a setting ValueError, with --set's reason ("Vehicle.apply: mass:
must be greater than 0, not 0"); the vehicle is then unchanged.)doc");
    m.def(
        "_vehicle_dict",
        [](const Vehicle& v) {
            py::dict all;
            for (const VehicleKey& k : keys())
                if (has_key(v, k.name)) all[py::str(k.name)] = key_value(v, k);
            return all;
        },
        R"doc(The keys and their values as a dict, in the order of a vehicle file; Vehicle(**v.as_dict())
is a Vehicle equal to v.)doc");
    m.def("_vehicle_text", vehicle_file_text);
    m.def("_vehicle_keys", [] {
        py::list names;
        for (const VehicleKey& k : keys()) names.append(k.name);
        return names;
    });
    m.def("_vehicle_repr", vehicle_repr);
    m.def("_same_vehicle", same);

    py::class_<StudyResult, std::shared_ptr<StudyResult>> result(m, "Result", plain, R"doc(How one aircraft's run went: the columns of transition-study's row, each an attribute.

stop is "lift", "speed", "cap" or "invalid"; steps an int; every other column a float, in the
row's units (each attribute says its own), None where the row's field is empty (the event
columns of a run stopped by the step cap, everything but stop for an invalid design). note
is an invalid design's diagnosis ("propeller thrust -0.5 N is negative at t = 12.35 s (step
248)"), else None. as_dict() gives the columns and the note in the row's order.

Results are made by run() and minimize(), not by calling Result. r1 == r2 compares every
field of the core's result bit for bit, more than the columns show (the angle of attack in
rad, where an invalid design left the model's range); results are hashable, and pickle (to
worker processes too) to equal results.)doc");
    for (std::size_t c = 0; c < study_column_count; ++c) {
        const std::string what = column_doc(study_columns[c]);
        result.def_property_readonly(
            study_columns[c], [c](const StudyResult& r) { return column_value(r, c); }, what.c_str());
    }
    result.def_property_readonly("note", note, "An invalid design's diagnosis, else None.");
    m.def(
        "_result_dict",
        [](const StudyResult& r) {
            py::dict all;
            for (std::size_t c = 0; c < study_column_count; ++c) all[study_columns[c]] = column_value(r, c);
            all["note"] = note(r);
            return all;
        },
        "The row's columns, then note, as a dict in that order.");
    m.def("_result_repr", result_repr);
    m.def("_result_state", result_state);
    m.def("_result_from_state", result_from_state);

    m.def(
        "run",
        [](const Vehicle* v) {
            const Vehicle p = vehicle_or_built_in(v);
            py::gil_scoped_release free;
            return study_vehicle(p);
        },
        py::arg("vehicle") = py::none(),
        R"doc(Runs one aircraft, `vehicle` (the built-in one when None), and returns its Result, as
transition-study's row gives it. An aircraft the model cannot fly is a Result whose stop is
"invalid", with a note, not an exception.)doc");
    m.def("trace", trace, py::arg("vehicle") = py::none(),
          R"doc(The run's steps at full precision, as numpy float64 arrays of one element per step,
keyed as the trace's step line:

    t (s)      the time at the start of the step
    a (m/s^2)  the acceleration of the step's fourth evaluation
    v (m/s)    the speed at the end of the step
    x (m)      the distance flown at the end of the step
    w (J)      the energy drawn by the lift rotors up to the end of the step
    lift (N)   the wing's lift of the step's fourth evaluation

and Q (N), the weight, a float. An aircraft
for which the model leaves its range raises ValueError("the model leaves its range: ..."),
as transition-study --trace refuses it.)doc");
    m.def("sweep", sweep, py::arg("grid"), py::arg("vehicle") = py::none(), py::arg("jobs") = py::none(),
          py::arg("shard") = py::none(),
          R"doc(Runs a grid of designs and returns its table as a dict of 1-D numpy arrays.

grid is a dict from a key ("mass", "propeller_thrust[0]") to a sequence or array of its
values, or a list of --sweep texts ("mass=20:30:11", "lift_rotors=3,4"); the first key varies
slowest. vehicle fixes what is not swept (the built-in aircraft by default). jobs is the
number of threads, 1 to 1024 (default: the machine's cores); shard=(k, n) runs the k-th of n
contiguous parts of the grid, as --shard k/n.

The arrays, in the order of transition-study's CSV columns: the swept values, then the row's
columns (float64, each in the unit that Result's attribute of that name says; steps int64; stop an array of str objects, as pandas holds text), then note
(str objects too: an invalid design's diagnosis, else ""). An empty figure is NaN, an empty
step count -1. Each text is held once, so that the arrays take about 128 bytes a design
whatever the notes' lengths. pandas.DataFrame(sweep(...)) is
the CSV's table. Every figure is the double transition-study prints, whatever jobs is.

Bad input raises ValueError with transition-study's message (an unknown key KeyError, a wrong
type TypeError) before any work. The interpreter's lock is released while the designs run;
Ctrl-C stops them and raises KeyboardInterrupt.)doc");
    m.def("run_many", run_many, py::arg("table"), py::arg("vehicle") = py::none(), py::arg("jobs") = py::none(),
          R"doc(Runs designs given one per row of a table and returns their table as sweep() does.

table is a dict, or a pandas DataFrame, from a key ("mass", "propeller_thrust[0]") to a
sequence or array of its values (taken by position), every column of one length: design i
takes value i of each, for samples that are no grid. vehicle fixes what is not given (the
built-in aircraft by default); jobs as for sweep().

The arrays are sweep()'s, one element per design in the table's order: the table's columns,
then the row's columns and note. Every figure is the double that run() gives for that design,
whatever jobs is.

Bad input raises ValueError (an unknown key KeyError, a wrong type TypeError) before any
work. The interpreter's lock is released while the designs run; Ctrl-C stops them and raises
KeyboardInterrupt.)doc");
    m.def("sweep_csv", sweep_csv, py::arg("grid"), py::arg("vehicle") = py::none(), py::arg("jobs") = py::none(),
          py::arg("shard") = py::none(),
          R"doc(The same sweep as sweep(), returned as the CSV text that transition-study writes for it,
header included, byte for byte.)doc");

    m.def("minimize", minimize, py::arg("objective"), py::arg("vary"), py::arg("require") = py::tuple(),
          py::arg("vehicle") = py::none(), py::arg("maximize") = false, py::arg("jobs") = py::none(),
          R"doc(The design within a box that gives the least (or, with maximize=True, the most) of one
figure while meeting every requirement, as transition-study --minimize finds it.

objective is a column that moves smoothly with the design: event_t, event_v, event_x,
event_w, peak_thrust, peak_power, peak_alpha, peak_pitch_rate or peak_acceleration. vary is
a dict from a key ("mass", "angle_of_attack[3]", or a whole array key such as
"schedule_angle" for each of its elements) to its (low, high), at most 256 values; require a
sequence of
"COLUMN<=VALUE", "COLUMN>=VALUE" or "COLUMN==VALUE" texts. vehicle fixes what is not varied
(the built-in aircraft by default); jobs as for sweep().

Returns an Optimum, which unpacks as (vehicle, result): the best design and its run, the
same doubles as the command's row, whatever jobs is and however vary and require are
ordered. Its costs are each requirement's cost, a dict from the requirement as given to
d(objective)/d(its value) at the optimum, in the objective's unit per the requirement's
(exactly 0 for one that does not bind); runs counts the designs studied (gradients those
with derivatives); caveats are the lines transition-study writes on standard error about
the answer (a value on a bound of its box, an answer at the step cap).

Bad input raises ValueError naming the argument (an unknown key KeyError, a wrong type
TypeError), before any work. A box in which no design meets every requirement raises
NoDesignMeetsRequirements, a ValueError, with the requirement nearest to being met and the
design nearest to meeting them all as attributes. The interpreter's lock is released while
the designs run; Ctrl-C stops them and raises KeyboardInterrupt.)doc");

    m.def("derivatives", derivatives, py::arg("vehicle") = py::none(),
          R"doc(Every smooth figure's exact derivative with respect to every real value of the vehicle
(the built-in aircraft by default), as transition-study --derivatives gives them: a dict from
each figure (event_t, event_v, event_x, event_w, peak_thrust, peak_power, peak_alpha,
peak_pitch_rate, peak_acceleration) to a
dict from each value's name, as --set names it ("mass", "angle_of_attack[2]"), in the order
of the vehicle file, to d(figure)/d(value) in the figure's unit per the value's (event_w in J,
mass in kg: J/kg). An empty entry of the command's table is None: the moment's figures of a
run stopped by the step cap. pandas.DataFrame(derivatives(v)) is the table, a row per value.

An aircraft the model cannot fly raises ValueError("no derivatives: the model leaves its
range: ..."). The interpreter's lock is released while it runs.)doc");

    m.attr("__name__") = own_name;
}
