#include "study/sweep.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

double parse_number(const std::string& text, const std::string& where) {
    double x = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, x);
    if (text.empty() || stop != end || (error != std::errc() && error != std::errc::result_out_of_range)) {
        throw VehicleError(where + ": '" + printable(text) + "' is not a number");
    }
    if (error == std::errc::result_out_of_range || !std::isfinite(x)) {
        throw VehicleError(where + ": '" + printable(text) + "' is not a finite number");
    }
    return x;
}

namespace {

// A whole number of decimal digits alone (after a minus sign, where `signed_` allows one),
// within [low, high], or a refusal naming `what`.
std::int64_t whole(const std::string& text, std::int64_t low, std::int64_t high, const std::string& where,
                   const std::string& what, bool signed_ = false) {
    std::int64_t n = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, n);
    const std::size_t first = signed_ && text.compare(0, 1, "-") == 0 ? 1 : 0;
    const bool digits = text.size() > first && text.find_first_not_of("0123456789", first) == std::string::npos;
    if (!digits || stop != end) {
        throw VehicleError(where + ": " + what + " must be a whole number, not '" + printable(text) + "'");
    }
    if (error != std::errc() || n < low || n > high) {
        throw VehicleError(where + ": " + what + " must be from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not " + printable(text));
    }
    return n;
}

// Checks that every value of `s` makes a vehicle of `base` (see parse_sweep).
void check_values(const Sweep& s, const Vehicle& base) {
    Vehicle probe = base;
    const bool each = !s.list.empty() || s.value.name == "lift_rotors";
    for (std::int64_t i = 0; i < s.count; i = each || i + 1 == s.count ? i + 1 : s.count - 1) {
        set_value(s.value, s.at(i), probe, s.where);
    }
}

// The same before a vehicle is known, for the values that any vehicle takes alike: a knot of
// a table schedule, which only a vehicle with one has, is checked by the grid.
void check_values(const Sweep& s) {
    const Vehicle probe{};
    if (has_key(probe, s.value.name.substr(0, s.value.name.find('[')))) check_values(s, probe);
}

}  // namespace

double Sweep::at(std::int64_t i) const {
    if (!list.empty()) return list[static_cast<std::size_t>(i)];
    if (count == 1 || i == 0) return first;
    if (i == count - 1) return last;
    const double steps = static_cast<double>(count - 1);
    double x = first + (last - first) * static_cast<double>(i) / steps;
    if (!std::isfinite(x)) {
        // Ends so far apart that their difference, or its multiple, overflows.
        const double s = static_cast<double>(i) / steps;
        x = first * (1.0 - s) + last * s;
    }
    // Rounding must not carry a value past the ends: every value between two valid ends
    // is valid, which is why only the ends are checked.
    return std::min(std::max(x, std::min(first, last)), std::max(first, last));
}

Sweep parse_sweep(const std::string& text) {
    const std::string where = "--sweep " + printable(text);
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        throw VehicleError(where + ": expected KEY=FIRST:LAST:COUNT or KEY=V1,V2,...");
    }
    Sweep s{find_value(text.substr(0, equals), where), {}, 0.0, 0.0, 0, where};
    const std::string values = text.substr(equals + 1);
    std::vector<std::string> parts;
    const char separator = values.find(':') != std::string::npos ? ':' : ',';
    for (std::size_t at = 0;;) {
        const std::size_t next = values.find(separator, at);
        parts.push_back(values.substr(at, next - at));
        if (next == std::string::npos) break;
        at = next + 1;
    }
    if (separator == ':') {
        if (parts.size() != 3) throw VehicleError(where + ": expected KEY=FIRST:LAST:COUNT");
        s.first = parse_number(parts[0], where);
        s.last = parse_number(parts[1], where);
        s.count = whole(parts[2], 1, most_designs, where, "COUNT");
    } else {
        for (const std::string& part : parts) s.list.push_back(parse_number(part, where));
        s.count = static_cast<std::int64_t>(s.list.size());
    }
    check_values(s);
    return s;
}

Sweep list_sweep(const std::string& key, const std::vector<double>& values) {
    return list_sweep(key, values, "sweep of " + printable(key));
}

Sweep list_sweep(const std::string& key, const std::vector<double>& values, const std::string& where) {
    Sweep s{find_value(key, where), values, 0.0, 0.0, static_cast<std::int64_t>(values.size()), where};
    if (values.empty()) throw VehicleError(where + ": expected at least one value");
    if (s.count > most_designs) throw VehicleError(where + ": more than 10^9 values");
    check_values(s);
    return s;
}

void Grid::refuse_twice(const std::string& each) const {
    for (std::size_t i = 0; i < sweeps_.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VehicleValue &a = sweeps_[i].value, &b = sweeps_[j].value;
            if (a.key == b.key && a.index == b.index) {
                throw VehicleError(each + a.name + ": swept twice (also as " + each + b.name + ")");
            }
        }
    }
}

Grid::Grid(const Vehicle& base, std::vector<Sweep> sweeps, const std::string& where, const std::string& each)
    : base_(base), sweeps_(std::move(sweeps)), size_(1) {
    refuse_twice(each);
    // What parse_sweep could not check without the vehicle: a knot of its table.
    for (const Sweep& s : sweeps_)
        if (!has_key(Vehicle{}, s.value.name.substr(0, s.value.name.find('[')))) check_values(s, base_);
    for (std::size_t i = 0; i < sweeps_.size(); ++i) {
        if (sweeps_[i].count > most_designs / size_) {
            throw VehicleError(where + ": a grid of more than 10^9 designs");
        }
        size_ *= sweeps_[i].count;
    }
    // Mixed radix, the last sweep varying fastest.
    std::int64_t stride = size_;
    for (const Sweep& s : sweeps_) strides_.push_back(stride /= s.count);
}

Grid Grid::rows(const Vehicle& base, std::vector<Sweep> columns, const std::string& where,
                const std::string& each) {
    Grid table(base, {}, where, each);
    if (columns.empty()) throw VehicleError(where + ": expected at least one column");
    for (const Sweep& s : columns) {
        if (s.count != columns.front().count) {
            throw VehicleError(where + ": " + s.value.name + " has " + std::to_string(s.count) + " values, " +
                               columns.front().value.name + " " + std::to_string(columns.front().count));
        }
    }
    table.sweeps_ = std::move(columns);
    table.refuse_twice(each);
    for (const Sweep& s : table.sweeps_)
        if (!has_key(Vehicle{}, s.value.name.substr(0, s.value.name.find('[')))) check_values(s, base);
    // Every stride 1: design i takes value i of each column.
    table.size_ = table.sweeps_.front().count;
    table.strides_.assign(table.sweeps_.size(), 1);
    return table;
}

double Grid::value(std::int64_t i, std::size_t k) const {
    const Sweep& s = sweeps_[k];
    return s.at((i / strides_[k]) % s.count);
}

Vehicle Grid::design(std::int64_t i) const {
    Vehicle v = base_;
    for (std::size_t k = 0; k < sweeps_.size(); ++k) set_value(sweeps_[k].value, value(i, k), v, sweeps_[k].where);
    return v;
}

std::string Grid::header() const {
    std::string h;
    for (const Sweep& s : sweeps_) h += s.value.name + ",";
    return h + study_header + ",note\n";
}

std::string Grid::row(std::int64_t i) const {
    std::string row;
    for (std::size_t k = 0; k < sweeps_.size(); ++k) {
        // As short as reads back the same: the value as it was given.
        char digits[32];
        row.append(digits, std::to_chars(digits, digits + sizeof digits, value(i, k)).ptr);
        row += ',';
    }
    const StudyResult r = study_vehicle(design(i));
    row += study_row(r);
    row += ',';
    if (r.stop == Stop::invalid) row += describe(r.invalid);
    row += '\n';
    return row;
}

Shard shard_of(std::int64_t size, std::int64_t k, std::int64_t n) {
    if (!(n >= 1 && n <= most_designs && k >= 1 && k <= n)) {
        throw VehicleError("shard " + std::to_string(k) + " of " + std::to_string(n) +
                           ": expected 1 <= K <= N <= " + std::to_string(most_designs));
    }
    return {size * (k - 1) / n, size * k / n};
}

void parse_shard(const std::string& text, std::int64_t& k, std::int64_t& n) {
    const std::string where = "--shard " + printable(text);
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) throw VehicleError(where + ": expected K/N with 1 <= K <= N");
    n = whole(text.substr(slash + 1), 1, most_designs, where, "N");
    k = whole(text.substr(0, slash), 1, n, where, "K");
}

int parse_jobs(const std::string& text) {
    return static_cast<int>(whole(text, 1, most_jobs, "--jobs " + printable(text), "the number of threads"));
}

int check_jobs(const std::string& integer, const std::string& where) {
    return static_cast<int>(whole(integer, 1, most_jobs, where, "the number of threads", true));
}

void check_shard(const std::string& k_integer, const std::string& n_integer, const std::string& where,
                 std::int64_t& k, std::int64_t& n) {
    n = whole(n_integer, 1, most_designs, where, "n", true);
    k = whole(k_integer, 1, n, where, "k", true);
}

int default_jobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, most_jobs));
}

std::int64_t run_in_order(std::int64_t count, int jobs, std::int64_t chunk,
                          const std::function<std::string(std::int64_t begin, std::int64_t end)>& compute,
                          const std::function<bool(std::string& result, std::int64_t done)>& take,
                          const std::function<bool()>& go_on) {
    // Chunks are handed out as threads ask for them (a design that never transitions takes
    // twice as long as one that does); a finished chunk waits in a slot of the window until
    // every earlier one is taken, and no chunk is claimed beyond the window, so memory stays
    // bounded even when the taker is slow. This thread is one of the `jobs`: it takes what is
    // ready in order, and computes while nothing is.
    const std::int64_t chunks = (count + chunk - 1) / chunk;
    const std::int64_t window = 32 * static_cast<std::int64_t>(jobs < 1 ? 1 : jobs);
    struct Slot {
        std::string result;
        bool ready = false;
    };
    std::vector<Slot> slots(static_cast<std::size_t>(window));
    std::mutex mutex;
    std::condition_variable changed;
    std::int64_t claimed = 0, taken = 0;
    bool quit = false;
    std::exception_ptr failure;

    // Computes one chunk, if one may be claimed now (the lock held on entry and exit).
    auto compute_one = [&](std::unique_lock<std::mutex>& lock) {
        if (quit || claimed >= chunks || claimed >= taken + window) return false;
        const std::int64_t c = claimed++;
        lock.unlock();
        std::string result;
        try {
            result = compute(c * chunk, std::min(count, (c + 1) * chunk));
        } catch (...) {
            lock.lock();
            if (!failure) failure = std::current_exception();
            quit = true;
            changed.notify_all();
            return true;
        }
        lock.lock();
        slots[static_cast<std::size_t>(c % window)] = {std::move(result), true};
        changed.notify_all();
        return true;
    };
    auto work = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!quit && claimed < chunks) {
            if (!compute_one(lock)) changed.wait(lock);
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the work
        }
    }

    std::int64_t done = 0;
    try {
        for (std::int64_t c = 0; c < chunks && go_on();) {
            std::string result;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (failure) break;
                Slot& slot = slots[static_cast<std::size_t>(c % window)];
                if (!slot.ready) {
                    if (!compute_one(lock)) changed.wait_for(lock, std::chrono::milliseconds(50));
                    continue;
                }
                result.swap(slot.result);
                slot.ready = false;
                ++taken;
            }
            changed.notify_all();
            const std::int64_t next = std::min(count, ++c * chunk);
            if (!take(result, next)) break;
            done = next;
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
    return done;
}

namespace {

// Says now and then how many designs are done, on one line that it rewrites.
class Progress {
public:
    Progress(std::FILE* to, std::int64_t total) : to_(to), total_(total), last_(std::chrono::steady_clock::now()) {}
    void show(std::int64_t done, bool final = false) {
        if (to_ == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        std::fprintf(to_, "\rtransition-study: %lld of %lld designs (%.1f %%)%s", static_cast<long long>(done),
                     static_cast<long long>(total_),
                     total_ ? 100.0 * static_cast<double>(done) / static_cast<double>(total_) : 100.0,
                     final ? "\n" : "");
        std::fflush(to_);
    }

private:
    std::FILE* to_;
    std::int64_t total_;
    std::chrono::steady_clock::time_point last_;
};

// Designs per chunk: a few milliseconds of work, little next to the handing out.
constexpr std::int64_t chunk = 16;

}  // namespace

std::int64_t run_sweep(const Grid& grid, Shard shard, int jobs, const std::function<bool(std::string_view bytes)>& write,
                       const std::function<bool()>& go_on, std::FILE* progress) {
    const std::int64_t total = shard.end - shard.begin;
    Progress shown(progress, total);
    if (!write(grid.header())) return 0;
    const std::int64_t written = run_in_order(
        total, jobs, chunk,
        [&](std::int64_t begin, std::int64_t end) {
            std::string rows;
            for (std::int64_t i = begin; i < end; ++i) rows += grid.row(shard.begin + i);
            return rows;
        },
        [&](std::string& rows, std::int64_t done) {
            if (!write(rows)) return false;
            shown.show(done);
            return true;
        },
        go_on);
    shown.show(written, true);
    return written;
}

std::int64_t study_grid(const Grid& grid, Shard shard, int jobs, StudyResult* results,
                        const std::function<bool()>& go_on) {
    return run_in_order(
        shard.end - shard.begin, jobs, chunk,
        [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i) results[i] = study_vehicle(grid.design(shard.begin + i));
            return std::string();
        },
        [](std::string&, std::int64_t) { return true; }, go_on);
}
