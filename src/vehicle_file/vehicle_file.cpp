#include "vehicle_file/vehicle_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <sys/stat.h>

#include <toml++/toml.h>

namespace {

// One key of a vehicle file and the values it sets: `length` reals from values(v) on, or
// the rotor count when `values` is null. A polynomial's coefficient i has the unit
// `unit` / `per`^i, its value's unit over its variable's to the power i.
struct Key {
    const char* name;
    int length;
    double* (*values)(Vehicle&);
    bool positive;     // each value must be > 0
    const char* what;  // shown in a written file
    const char* unit;  // the value's unit, "" for a pure number
    const char* per;   // a polynomial's variable's unit, else ""
};

const Key keys[] = {
    {"air_density", 1, [](Vehicle& v) { return &v.rho; }, true, "kg/m^3", "kg/m^3", ""},
    {"gravity", 1, [](Vehicle& v) { return &v.g; }, true, "m/s^2", "m/s^2", ""},
    {"mass", 1, [](Vehicle& v) { return &v.m; }, true, "kg", "kg", ""},
    {"wing_area", 1, [](Vehicle& v) { return &v.S; }, true, "m^2", "m^2", ""},
    {"lift_rotors", 1, nullptr, true, "number of lift rotors", "", ""},
    {"lift_rotor_diameter", 1, [](Vehicle& v) { return &v.d; }, true, "m, each", "m", ""},
    {"angle_of_attack", 4, [](Vehicle& v) { return v.alpha_schedule; }, false,
     "rad, in speed: c0 + c1 v + c2 v^2 + c3 v^3", "rad", "(m/s)"},
    {"propeller_thrust", 3, [](Vehicle& v) { return v.propeller; }, false,
     "N, in speed: c0 + c1 v + c2 v^2", "N", "(m/s)"},
    {"lift_coefficient", 2, [](Vehicle& v) { return v.lift_curve; }, false,
     "in angle of attack: c0 + c1 alpha", "", "rad"},
    {"drag_coefficient", 3, [](Vehicle& v) { return v.drag_polar; }, false,
     "in angle of attack: c0 + c1 alpha + c2 alpha^2", "", "rad"},
};

// The largest rotor count taken: far beyond any aircraft, and exact as a double.
constexpr long long most_rotors = 1000000;

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

const Key* find_key(const std::string& name) {
    for (const Key& k : keys) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

[[noreturn]] void unknown_key(const std::string& where, const std::string& name) {
    const Key* nearest = &keys[0];
    for (const Key& k : keys) {
        if (edit_distance(name, k.name) < edit_distance(name, nearest->name)) nearest = &k;
    }
    throw UnknownKeyError(where + "unknown key '" + printable(name) + "'; the nearest known key is '" +
                       nearest->name + "'");
}

std::string type_name(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::boolean: return "a boolean";
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a real number";
        default: return "a date or time";
    }
}

std::string text_of(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// One real from `node` for key k (element `index` of an array key, -1 for a scalar),
// refused with `where` before the message.
double real_value(const toml::node& node, const Key& k, int index, const std::string& where) {
    const std::string name = index < 0 ? k.name : std::string(k.name) + "[" + std::to_string(index) + "]";
    double x;
    if (const auto* i = node.as_integer()) {
        x = static_cast<double>(i->get());
    } else if (const auto* f = node.as_floating_point()) {
        x = f->get();
    } else {
        throw VehicleError(where + name + ": expected a number, not " + type_name(node));
    }
    if (!std::isfinite(x)) throw VehicleError(where + name + ": " + text_of(x) + " is not a finite number");
    if (k.positive && !(x > 0.0)) {
        throw VehicleError(where + name + ": must be greater than 0, not " + text_of(x));
    }
    return x;
}

std::string at_line(const std::string& source, const toml::node& node) {
    return source + ":" + std::to_string(node.source().begin.line) + ": ";
}

// The refusal of a rotor count: `given` is the number as written, or the kind of value.
[[noreturn]] void bad_count(const std::string& where, const Key& k, const std::string& given) {
    throw VehicleError(where + k.name + ": expected a whole number from 1 to " + std::to_string(most_rotors) +
                       ", not " + given);
}

// Sets key k of `vehicle` from `node`, as a whole: every element of an array key.
// `where` is the prefix of a refusal; for a file, each element's own line is named.
void assign(const Key& k, const toml::node& node, const std::string& source, bool file, Vehicle& vehicle) {
    const std::string where = file ? at_line(source, node) : source.empty() ? "" : source + ": ";
    if (k.values == nullptr) {
        const auto* count = node.as_integer();
        if (count == nullptr || count->get() < 1 || count->get() > most_rotors) {
            bad_count(where, k, count ? std::to_string(count->get()) : type_name(node));
        }
        vehicle.rotors = static_cast<int>(count->get());
        return;
    }
    if (k.length == 1) {
        *k.values(vehicle) = real_value(node, k, -1, where);
        return;
    }
    const auto* array = node.as_array();
    if (array == nullptr || static_cast<int>(array->size()) != k.length) {
        throw VehicleError(where + k.name + ": expected an array of " + std::to_string(k.length) +
                           " numbers (" + k.what + "), not " +
                           (array ? "an array of " + std::to_string(array->size()) : type_name(node)));
    }
    double values[4];
    for (int i = 0; i < k.length; ++i) {
        const toml::node& element = *array->get(static_cast<std::size_t>(i));
        values[i] = real_value(element, k, i, file ? at_line(source, element) : where);
    }
    std::copy(values, values + k.length, k.values(vehicle));
}

// The whole of a file of at most 1 MiB, or a refusal naming it as `shown`.
std::string contents(const std::string& path, const std::string& shown) {
    if (path.find('\0') != std::string::npos) throw VehicleError(shown + ": cannot read it: the path has a NUL byte");
    const auto unreadable = [&shown](int error) {
        return VehicleFileError(shown + ": cannot read it: " + std::strerror(error), error);
    };
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw unreadable(errno);
    if (S_ISDIR(info.st_mode)) throw VehicleFileError(shown + ": is a directory, not a vehicle file", EISDIR);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw unreadable(errno);
    constexpr std::size_t most = 1 << 20;
    std::string text(most + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad()) throw unreadable(errno);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > most) throw VehicleError(shown + ": larger than 1 MiB, not a vehicle file");
    return text;
}

// The parser descends once for each part of a dotted key and each level of nested values,
// so a file of a few hundred kilobytes could exhaust the stack. A vehicle file's keys are
// plain names and its values at most one array deep: a key of more than `most_parts` parts,
// or values nested more than `most_depth` deep, is refused before the parser sees it.
// Strings and comments are skipped; a key is what stands before '=' at the start of a line,
// in a [table] header, or after '{' or ',' in an inline table.
constexpr int most_parts = 16;
constexpr int most_depth = 16;

void refuse_deep_nesting(const std::string& text, const std::string& source) {
    std::size_t line = 1;
    std::string nesting;  // '[' for an array, '{' for an inline table
    bool key = true;
    int parts = 1;
    auto refuse = [&](const std::string& what) {
        throw VehicleError(source + ":" + std::to_string(line) + ": expected " + what);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            // A string, basic or literal, on one line or (tripled quotes) on several.
            const bool triple = text.compare(i, 3, std::string(3, c)) == 0;
            const std::string end = triple ? std::string(3, c) : std::string(1, c);
            for (i += end.size(); i < text.size() && text.compare(i, end.size(), end) != 0; ++i) {
                if (text[i] == '\n') ++line;
                if (c == '"' && text[i] == '\\') {
                    if (i + 1 < text.size() && text[i + 1] == '\n') ++line;
                    ++i;
                }
            }
            i += end.size() - 1;
        } else if (c == '#') {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (c == '\n') {
            ++line;
            if (nesting.empty()) {
                key = true;
                parts = 1;
            }
        } else if (key && c == '.') {
            if (++parts > most_parts)
                refuse("a key of at most " + std::to_string(most_parts) +
                       " dotted parts (a vehicle file's keys are plain names)");
        } else if (key && c == '=') {
            key = false;
        } else if (!key && (c == '[' || c == '{')) {
            nesting += c;
            if (nesting.size() > static_cast<std::size_t>(most_depth))
                refuse("values nested at most " + std::to_string(most_depth) + " deep");
            key = c == '{';
            parts = 1;
        } else if (!key && (c == ']' || c == '}') && !nesting.empty()) {
            nesting.pop_back();
        } else if (!key && c == ',' && !nesting.empty() && nesting.back() == '{') {
            key = true;
            parts = 1;
        }
    }
}

toml::table parse(const std::string& text, const std::string& source) {
    refuse_deep_nesting(text, source);
    try {
        return toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        throw VehicleError(source + ":" + std::to_string(e.source().begin.line) + ":" +
                           std::to_string(e.source().begin.column) + ": " +
                           std::string(e.description()));
    }
}

}  // namespace

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            const char* const hex = "0123456789abcdef";
            shown += std::string("\\x") + hex[byte >> 4] + hex[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

void read_vehicle_file(const std::string& path, Vehicle& vehicle) {
    const std::string shown = printable(path);
    const toml::table table = parse(contents(path, shown), shown);
    Vehicle read = vehicle;
    for (const auto& [name, node] : table) {
        const Key* k = find_key(std::string(name.str()));
        if (k == nullptr) unknown_key(at_line(shown, node), std::string(name.str()));
        assign(*k, node, shown, true, read);
    }
    vehicle = read;
}

VehicleValue find_value(const std::string& name, const std::string& where) {
    std::string key = name;
    int index = -1;
    const std::size_t bracket = name.find('[');
    if (bracket != std::string::npos) {
        const std::string digits = name.substr(bracket + 1, name.size() - bracket - 2);
        if (name.back() != ']' || digits.empty() || digits.size() > 2 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            throw VehicleError(where + ": expected KEY or KEY[INDEX] with INDEX a whole number");
        }
        index = std::atoi(digits.c_str());
        key.erase(bracket);
    }
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key(where + ": ", key);
    if (index >= 0 && (k->length == 1 || index >= k->length)) {
        throw VehicleError(where + ": " + key + " has " +
                           (k->length == 1 ? std::string("no elements")
                                           : "elements 0 to " + std::to_string(k->length - 1)));
    }
    return {name, static_cast<int>(k - keys), index < 0 && k->length == 1 ? 0 : index};
}

std::vector<std::string> real_value_names(const Vehicle&) {
    std::vector<std::string> names;
    for (const Key& k : keys) {
        if (k.values == nullptr) continue;
        if (k.length == 1) {
            names.push_back(k.name);
        } else {
            for (int i = 0; i < k.length; ++i) names.push_back(std::string(k.name) + "[" + std::to_string(i) + "]");
        }
    }
    return names;
}

std::size_t real_value_index(const VehicleValue& value, const Vehicle&, const std::string& where) {
    const Key& k = keys[value.key];
    if (k.values == nullptr) throw VehicleError(where + ": " + k.name + " is a whole number, not a real value");
    if (value.index < 0) {
        throw VehicleError(where + ": " + k.name + " has " + std::to_string(k.length) + " elements: name one, as " +
                           k.name + "[0]");
    }
    std::size_t index = 0;
    for (const Key* before = keys; before != &k; ++before) {
        if (before->values != nullptr) index += static_cast<std::size_t>(before->length);
    }
    return index + static_cast<std::size_t>(value.index);
}

std::string value_unit(const VehicleValue& value) {
    const Key& k = keys[value.key];
    const std::string unit = k.unit;
    if (value.index <= 0 || k.length == 1) return unit;
    const std::string power = value.index == 1 ? "" : "^" + std::to_string(value.index);
    return (unit.empty() ? "1" : unit) + "/" + k.per + power;
}

void set_value(const VehicleValue& value, double x, Vehicle& vehicle, const std::string& where) {
    const Key& k = keys[value.key];
    if (value.index < 0) {
        throw VehicleError(where + ": " + k.name + " has " + std::to_string(k.length) +
                           " elements: name one, as " + k.name + "[0]");
    }
    if (k.values == nullptr) {
        if (!(x >= 1.0 && x <= static_cast<double>(most_rotors) && x == std::floor(x))) {
            bad_count(where + ": ", k, text_of(x));
        }
        vehicle.rotors = static_cast<int>(x);
        return;
    }
    toml::value<double> node(x);
    k.values(vehicle)[value.index] = real_value(node, k, k.length == 1 ? -1 : value.index, where + ": ");
}

void apply_setting(const std::string& setting, Vehicle& vehicle) {
    apply_setting(setting, vehicle, "--set " + printable(setting));
}

void apply_setting(const std::string& setting, Vehicle& vehicle, const std::string& where) {
    const std::size_t equals = setting.find('=');
    if (equals == std::string::npos) {
        throw VehicleError(where + ": expected KEY=VALUE or KEY[INDEX]=VALUE");
    }
    const std::string name = setting.substr(0, equals), text = setting.substr(equals + 1);
    const VehicleValue value = find_value(name, where);
    const bool element = name.find('[') != std::string::npos;
    // A setting is one value: a line break would let TOML read further keys after it.
    if (text.find_first_of("\n\r") != std::string::npos) {
        throw VehicleError(where + ": " + name + ": expected one value on one line, not '" + printable(text) + "'");
    }
    toml::table parsed;
    try {
        parsed = parse("value = " + text, where);
    } catch (const VehicleError&) {
        throw VehicleError(where + ": " + name + ": '" + printable(text) +
                           "' is not a value (a number, or an array [a, b, ...])");
    }
    const toml::node& node = *parsed.get("value");
    if (!element) {
        assign(keys[value.key], node, where, false, vehicle);
    } else {
        set_value(value, real_value(node, keys[value.key], value.index, where + ": "), vehicle, where);
    }
}

std::vector<VehicleKey> vehicle_keys() {
    std::vector<VehicleKey> all;
    for (const Key& k : keys) all.push_back({k.name, k.length, k.what});
    return all;
}

std::vector<double> key_values(const Vehicle& vehicle, const std::string& key) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    if (k->values == nullptr) return {static_cast<double>(vehicle.rotors)};
    Vehicle v = vehicle;
    const double* values = k->values(v);
    return std::vector<double>(values, values + k->length);
}

void assign_key(const std::string& key, const std::vector<double>& values, Vehicle& vehicle) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    // The values as the file's nodes, so that the file's checks and messages apply: a whole
    // number as an integer (the rotor count must be one), any other as a real.
    auto node = [](double x) -> std::unique_ptr<toml::node> {
        if (x == std::floor(x) && std::fabs(x) < 9007199254740992.0)
            return std::make_unique<toml::value<std::int64_t>>(static_cast<std::int64_t>(x));
        return std::make_unique<toml::value<double>>(x);
    };
    Vehicle changed = vehicle;
    if (k->length == 1 && values.size() == 1) {
        const std::unique_ptr<toml::node> scalar = k->values == nullptr ? node(values[0])
                                                                        : std::make_unique<toml::value<double>>(values[0]);
        assign(*k, *scalar, "", false, changed);
    } else if (k->length == 1) {
        throw VehicleError(std::string(k->name) + ": expected a number, not " + std::to_string(values.size()) +
                           " of them");
    } else {
        toml::array array;
        for (double x : values) array.push_back(x);
        assign(*k, array, "", false, changed);
    }
    vehicle = changed;
}

void assign_count(const std::string& key, const std::string& integer, Vehicle& vehicle) {
    const Key* k = find_key(key);
    if (k == nullptr) unknown_key("", key);
    if (k->values != nullptr) throw VehicleError(key + ": not a whole number of anything");
    const std::size_t digits = integer.compare(0, 1, "-") == 0 ? 1 : 0;
    if (integer.size() == digits || integer.find_first_not_of("0123456789", digits) != std::string::npos) {
        bad_count("", *k, "'" + printable(integer) + "'");
    }
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(integer.data(), integer.data() + integer.size(), count);
    // Beyond any 64-bit integer is still a whole number, out of range.
    if (error != std::errc() || end != integer.data() + integer.size()) bad_count("", *k, integer);
    Vehicle changed = vehicle;
    assign(*k, toml::value<std::int64_t>(count), "", false, changed);
    vehicle = changed;
}

std::string vehicle_file_text(const Vehicle& vehicle) {
    // The fewest significant digits that read back as the same double.
    // The shortest text that reads back as the same double, in no locale: in plain decimals
    // while that takes at most 24 characters ("30", "0.0004", "0.30000000000000004"), else
    // with an exponent ("1e-50"). Negative zero is written "-0.0": TOML reads "-0" as the
    // integer 0, which loses the sign.
    auto shortest = [](double x) {
        if (x == 0.0 && std::signbit(x)) return std::string("-0.0");
        char text[400];
        const char* end = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed).ptr;
        if (end - text > 24) end = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr;
        return std::string(static_cast<const char*>(text), end);
    };
    Vehicle v = vehicle;
    std::string text;
    for (const Key& k : keys) {
        std::string value;
        if (k.values == nullptr) {
            value = std::to_string(v.rotors);
        } else if (k.length == 1) {
            value = shortest(*k.values(v));
        } else {
            for (int i = 0; i < k.length; ++i) value += (i ? ", " : "[") + shortest(k.values(v)[i]);
            value += "]";
        }
        text += std::string(k.name) + " = " + value + "  # " + k.what + "\n";
    }
    return text;
}
