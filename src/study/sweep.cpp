#include "study/sweep.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "study/study.h"

namespace {

constexpr std::int64_t most_designs = 1000000000;

double number(const std::string& text, const std::string& where) {
    char* end = nullptr;
    const double x = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || text.find_first_of(" \t") != std::string::npos) {
        throw VehicleError(where + ": '" + text + "' is not a number");
    }
    if (!std::isfinite(x)) throw VehicleError(where + ": '" + text + "' is not a finite number");
    return x;
}

}  // namespace

double Sweep::at(std::int64_t i) const {
    if (!list.empty()) return list[static_cast<std::size_t>(i)];
    if (count == 1) return first;
    if (i == count - 1) return last;
    return first + (last - first) * static_cast<double>(i) / static_cast<double>(count - 1);
}

Sweep parse_sweep(const std::string& text) {
    const std::string where = "--sweep " + text;
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
        s.first = number(parts[0], where);
        s.last = number(parts[1], where);
        const std::string& n = parts[2];
        if (n.empty() || n.size() > 10 || n.find_first_not_of("0123456789") != std::string::npos ||
            std::atoll(n.c_str()) < 1) {
            throw VehicleError(where + ": COUNT must be a whole number from 1 to " +
                               std::to_string(most_designs) + ", not '" + n + "'");
        }
        s.count = std::atoll(n.c_str());
        if (s.count > most_designs) throw VehicleError(where + ": more than 10^9 values");
    } else {
        for (const std::string& part : parts) s.list.push_back(number(part, where));
        s.count = static_cast<std::int64_t>(s.list.size());
    }
    // Every value must make a vehicle: each of a list, and of a range its two ends, and
    // for the rotor count (a whole number) each value.
    Vehicle probe{};
    const bool each = !s.list.empty() || s.value.name == "lift_rotors";
    for (std::int64_t i = 0; i < s.count; i = each || i + 1 == s.count ? i + 1 : s.count - 1) {
        set_value(s.value, s.at(i), probe, where);
    }
    return s;
}

Grid::Grid(const Vehicle& base, std::vector<Sweep> sweeps) : base_(base), sweeps_(std::move(sweeps)), size_(1) {
    for (std::size_t i = 0; i < sweeps_.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VehicleValue &a = sweeps_[i].value, &b = sweeps_[j].value;
            if (a.key == b.key && a.index == b.index) {
                throw VehicleError("--sweep " + a.name + ": swept twice (also as --sweep " + b.name + ")");
            }
        }
        if (sweeps_[i].count > most_designs / size_) {
            throw VehicleError("--sweep: a grid of more than 10^9 designs");
        }
        size_ *= sweeps_[i].count;
    }
}

std::string Grid::header() const {
    std::string h;
    for (const Sweep& s : sweeps_) h += s.value.name + ",";
    return h + study_header + ",note\n";
}

std::string Grid::row(std::int64_t i) const {
    Vehicle v = base_;
    std::string row;
    // Mixed radix, the last sweep varying fastest.
    std::int64_t stride = size_;
    for (const Sweep& s : sweeps_) {
        stride /= s.count;
        const double x = s.at((i / stride) % s.count);
        set_value(s.value, x, v, s.where);
        // As short as reads back the same: the value as it was given.
        char digits[32];
        row.append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
        row += ',';
    }
    const StudyResult r = study_vehicle(v);
    row += study_row(r);
    row += ',';
    if (r.stop == Stop::invalid) row += describe(r.invalid);
    row += '\n';
    return row;
}

Shard shard_of(std::int64_t size, int k, int n) {
    return {size * (k - 1) / n, size * k / n};
}

namespace {

// Says now and then how many rows are written, on one line that it rewrites.
class Progress {
public:
    Progress(std::FILE* to, std::int64_t total) : to_(to), total_(total), last_(std::chrono::steady_clock::now()) {}
    void show(std::int64_t done, bool final = false) {
        if (to_ == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        std::fprintf(to_, "\rtransition-study: %lld of %lld designs (%.1f %%)%s", static_cast<long long>(done),
                     static_cast<long long>(total_), total_ ? 100.0 * static_cast<double>(done) / static_cast<double>(total_) : 100.0,
                     final ? "\n" : "");
        std::fflush(to_);
    }

private:
    std::FILE* to_;
    std::int64_t total_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace

std::int64_t run_sweep(const Grid& grid, Shard shard, int jobs, std::FILE* out, const std::atomic<bool>& stop,
                       std::FILE* progress) {
    const std::int64_t total = shard.end - shard.begin;
    Progress shown(progress, total);
    std::fputs(grid.header().c_str(), out);
    std::int64_t written = 0;
    if (jobs <= 1) {
        for (; written < total && !stop; ++written) {
            std::fputs(grid.row(shard.begin + written).c_str(), out);
            shown.show(written + 1);
        }
        shown.show(written, true);
        return written;
    }

    // Designs are handed out in chunks as threads ask for them (a design that never
    // transitions takes twice as long as one that does); finished chunks wait in a window
    // of slots until every earlier one is written, so memory stays bounded. This thread
    // is one of the `jobs`: it writes what is ready in order, and computes while nothing is.
    constexpr std::int64_t chunk = 16;
    const std::int64_t chunks = (total + chunk - 1) / chunk;
    const std::int64_t window = 32 * jobs;
    struct Slot {
        std::string rows;
        bool ready = false;
    };
    std::vector<Slot> slots(static_cast<std::size_t>(window));
    std::mutex mutex;
    std::condition_variable changed;
    std::int64_t claimed = 0, taken = 0;
    bool quit = false;

    // Computes one chunk, if one may be claimed now (the lock held on entry and exit).
    auto compute_one = [&](std::unique_lock<std::mutex>& lock) {
        if (quit || claimed >= chunks || claimed >= taken + window) return false;
        const std::int64_t c = claimed++;
        lock.unlock();
        std::string rows;
        const std::int64_t end = std::min(total, (c + 1) * chunk);
        for (std::int64_t i = c * chunk; i < end; ++i) rows += grid.row(shard.begin + i);
        lock.lock();
        slots[static_cast<std::size_t>(c % window)] = {std::move(rows), true};
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
    for (int j = 1; j < jobs; ++j) threads.emplace_back(work);

    for (std::int64_t c = 0; c < chunks && !stop;) {
        std::string rows;
        {
            std::unique_lock<std::mutex> lock(mutex);
            Slot& slot = slots[static_cast<std::size_t>(c % window)];
            if (!slot.ready) {
                if (!compute_one(lock)) changed.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
            rows.swap(slot.rows);
            slot.ready = false;
            ++taken;
        }
        changed.notify_all();
        std::fwrite(rows.data(), 1, rows.size(), out);
        ++c;
        written = std::min(total, c * chunk);
        shown.show(written);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
    shown.show(written, true);
    return written;
}
