#pragma once

// Design sweeps: a grid of aircraft varying some of a vehicle's values, each studied as
// one aircraft is, in grid order whatever the number of threads: as CSV rows, or as the
// studies' results themselves.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "study/study.h"
#include "vehicle_file/vehicle_file.h"

// One swept value: "KEY=FIRST:LAST:COUNT" (COUNT values evenly spaced, both ends
// included) or "KEY=V1,V2,...", KEY a scalar key or one element "KEY[i]".
struct Sweep {
    VehicleValue value;
    std::vector<double> list;  // the values of a list, else empty
    double first, last;        // the range otherwise
    std::int64_t count;        // how many values
    std::string where;         // "--sweep TEXT", for refusals

    // Value i, 0 <= i < count: a range's first + (last - first) i / (count - 1), or where that
    // overflows the same point as a weighted mean of the ends; exactly FIRST and LAST at the
    // ends, and never outside them.
    double at(std::int64_t i) const;
};

// A finite number written as a sweep's values are, in no locale ("1e-3", "-2.5"), all of
// `text`; refused with VehicleError "WHERE: 'TEXT' is not a (finite) number".
double parse_number(const std::string& text, const std::string& where);

// The most designs a grid may hold, and the most threads a sweep runs on.
constexpr std::int64_t most_designs = 1000000000;
constexpr int most_jobs = 1024;

// Reads one --sweep argument, checking that every value makes a vehicle: each of a list,
// each rotor count, and a range's two ends (every value between two valid ends is valid).
// Refuses with VehicleError ("--sweep TEXT: ..."), an unknown key with UnknownKeyError.
Sweep parse_sweep(const std::string& text);

// A list sweep of `key` ("mass", "propeller_thrust[0]") over `values`, checked as a
// --sweep list is, refused after `where` ("sweep of KEY" when not given).
Sweep list_sweep(const std::string& key, const std::vector<double>& values);
Sweep list_sweep(const std::string& key, const std::vector<double>& values, const std::string& where);

// The full grid of several sweeps, the first varying slowest. Refuses a value swept twice
// and a grid of more than most_designs designs, naming the grid `where` and each swept
// value `each` NAME ("--sweep: a grid of more than ...", "--sweep mass: swept twice ...").
class Grid {
public:
    Grid(const Vehicle& base, std::vector<Sweep> sweeps, const std::string& where = "--sweep",
         const std::string& each = "--sweep ");
    // Designs that are no grid: sweeps of one length side by side, design i taking value i of
    // each (a table's rows, one column a sweep). Refused as a grid is, and for sweeps of
    // different lengths ("WHERE: wing_area has 2 values, mass 3").
    static Grid rows(const Vehicle& base, std::vector<Sweep> columns, const std::string& where,
                     const std::string& each);
    std::int64_t size() const { return size_; }
    const std::vector<Sweep>& sweeps() const { return sweeps_; }
    // Swept value k of design i.
    double value(std::int64_t i, std::size_t k) const;
    // Design i's vehicle.
    Vehicle design(std::int64_t i) const;
    // The CSV header: the swept values as named, the study's columns, then "note".
    std::string header() const;
    // Design i's row, its line feed included.
    std::string row(std::int64_t i) const;

private:
    void refuse_twice(const std::string& each) const;

    Vehicle base_;
    std::vector<Sweep> sweeps_;
    std::vector<std::int64_t> strides_;
    std::int64_t size_;
};

// The part of [0, size) that shard k of n (k from 1) runs: contiguous, as equal as can be.
// Refuses (VehicleError) unless 1 <= k <= n <= most_designs.
struct Shard {
    std::int64_t begin, end;
};
Shard shard_of(std::int64_t size, std::int64_t k, std::int64_t n);

// "K/N" as --shard gives it, each a whole number in decimal digits; refuses anything else
// and numbers out of range (VehicleError "--shard TEXT: ...").
void parse_shard(const std::string& text, std::int64_t& k, std::int64_t& n);

// A thread count as --jobs gives it, a whole number from 1 to most_jobs; refuses anything
// else (VehicleError "--jobs TEXT: ..."). default_jobs() is the machine's cores.
int parse_jobs(const std::string& text);
int default_jobs();

// The same thread count and shard given as integers by a caller that names them itself:
// each the decimal digits of an integer with an optional minus sign ("-3"), every integer
// a whole number in range or not, refused after `where` ("jobs=0: the number of threads
// must be from 1 to 1024, not 0"; "shard=(5, 4): k must be from 1 to 4, not 5").
int check_jobs(const std::string& integer, const std::string& where);
void check_shard(const std::string& k_integer, const std::string& n_integer, const std::string& where,
                 std::int64_t& k, std::int64_t& n);

// Runs compute(begin, end) over [0, count) in chunks of `chunk` items on up to `jobs`
// threads, this one among them, and hands each chunk's result to take(result, done) on
// this thread in order, as soon as it and every earlier chunk are done (`done` items taken
// with it). Finished chunks wait in a window of a few per thread, so memory stays bounded
// whatever the count. go_on() is asked on this thread before each chunk is taken, and at
// least every 50 ms while it waits; the run stops between two chunks once it or take
// returns false.
// A thread that cannot be started leaves its share to the others. Whatever compute throws,
// on any thread, stops every thread and is thrown again here, as is what take or go_on
// throws; no thread outlives the call. Returns the number of items taken.
std::int64_t run_in_order(std::int64_t count, int jobs, std::int64_t chunk,
                          const std::function<std::string(std::int64_t begin, std::int64_t end)>& compute,
                          const std::function<bool(std::string& result, std::int64_t done)>& take,
                          const std::function<bool()>& go_on);

// Writes the header and the rows of `shard` through write() in grid order, as they are
// ready, computing them on `jobs` threads. Stops at once when a write fails (write returns
// false), and between two rows once go_on() returns false, leaving only whole rows written.
// `progress`, if not null, is shown how many designs are done now and then, on one line.
// Returns the number of rows written.
std::int64_t run_sweep(const Grid& grid, Shard shard, int jobs,
                       const std::function<bool(std::string_view bytes)>& write,
                       const std::function<bool()>& go_on, std::FILE* progress);

// Studies the designs of `shard` on `jobs` threads into results[0, shard size), in grid
// order; stops early once go_on() returns false. Returns the number of designs studied,
// a prefix of the shard.
std::int64_t study_grid(const Grid& grid, Shard shard, int jobs, StudyResult* results,
                        const std::function<bool()>& go_on);
