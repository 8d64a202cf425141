#pragma once

// Design sweeps: a grid of aircraft varying some of a vehicle's values, each studied as
// one aircraft is, written as CSV in grid order whatever the number of threads.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "vehicle_file/vehicle_file.h"

// One swept value: "KEY=FIRST:LAST:COUNT" (COUNT values evenly spaced, both ends
// included) or "KEY=V1,V2,...", KEY a scalar key or one element "KEY[i]".
struct Sweep {
    VehicleValue value;
    std::vector<double> list;  // the values of a list, else empty
    double first, last;        // the range otherwise
    std::int64_t count;        // how many values
    std::string where;         // "--sweep TEXT", for refusals

    double at(std::int64_t i) const;
};

// Reads one --sweep argument, checking every value as a vehicle file would; refuses with
// VehicleError ("--sweep TEXT: ...").
Sweep parse_sweep(const std::string& text);

// The full grid of several sweeps, the first varying slowest. Refuses a key swept twice
// and a grid of more than 10^9 designs.
class Grid {
public:
    Grid(const Vehicle& base, std::vector<Sweep> sweeps);
    std::int64_t size() const { return size_; }
    // The CSV header: the swept values as named, the study's columns, then "note".
    std::string header() const;
    // Design i's row, its line feed included.
    std::string row(std::int64_t i) const;

private:
    Vehicle base_;
    std::vector<Sweep> sweeps_;
    std::int64_t size_;
};

// The part of [0, size) that shard k of n (k from 1) runs: contiguous, as equal as can be.
struct Shard {
    std::int64_t begin, end;
};
Shard shard_of(std::int64_t size, int k, int n);

// Writes the header and the rows of `shard` to `out` in grid order, as they are ready,
// computing them on `jobs` threads sharing the designs as they come. Stops between two
// rows once `stop` is set, leaving only whole rows written. `progress`, if not null, is
// shown how many rows are written now and then. Returns the number of rows written; a
// failed write shows in out's error flag.
std::int64_t run_sweep(const Grid& grid, Shard shard, int jobs, std::FILE* out,
                       const std::atomic<bool>& stop, std::FILE* progress);
