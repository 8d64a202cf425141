#pragma once

// Optimal designs: within a box of some of a vehicle's values, the design whose study gives
// the least (or the most) of one figure while other figures meet requirements. Only figures
// that move smoothly with the design take part: those at the located moment, the peaks and
// the peak angle; the step-end figures jump by up to a step when a design change moves the
// stopping step. A design the model cannot fly, or whose run ends at the step cap (no
// located moment), is never the answer and meets no requirement.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "study/study.h"
#include "vehicle_file/vehicle_file.h"

// A figure an objective or a requirement may name: event_t, event_v, event_x, event_w,
// peak_thrust, peak_power or peak_alpha; its column in the study's row. Refuses any other
// name (VehicleError "WHERE: ..."), a step-end column saying why and naming its located
// counterpart.
std::size_t smooth_column(const std::string& name, const std::string& where);

// One varied value, "KEY=LOW:HIGH" (KEY or KEY[i] as a sweep's), LOW < HIGH, both within the
// key's own range (so is every value between them). The rotor count, a whole number, cannot
// be varied.
struct Varied {
    VehicleValue value;
    double low, high;
    std::string where;  // "--vary TEXT", for refusals
};
Varied parse_vary(const std::string& text);
Varied make_vary(const std::string& key, double low, double high);

// A requirement on one figure, "COLUMN<=VALUE" or "COLUMN>=VALUE", VALUE finite.
struct Requirement {
    std::size_t column;
    bool at_most;  // COLUMN <= VALUE; else COLUMN >= VALUE
    double value;
    std::string text;  // as given, for messages
};
Requirement parse_requirement(const std::string& text);

// The most values varied at once.
constexpr std::size_t most_varied = 8;

// What is sought: the objective's figure, least or most, over the box of `vary` (one to
// most_varied distinct values) around `base`, subject to every requirement.
struct Problem {
    Vehicle base;
    std::size_t objective;
    bool maximize;
    std::vector<Varied> vary;
    std::vector<Requirement> require;
};

// Refuses a problem that cannot be posed (no value or more than most_varied varied, one
// value varied twice) with VehicleError.
void check_problem(const Problem& problem);

struct Optimum {
    bool found;                // whether some design meets every requirement
    std::vector<double> x;     // the best design's varied values, in the order of `vary`
    Vehicle vehicle;           // its vehicle
    StudyResult result;        // its study
    std::int64_t runs;         // designs studied in all
    std::string nearest;       // when none is found: the requirement nearest to being met,
                               // and by how much, as one line
};

// Samples the box at a few thousand points of a low-discrepancy (Halton) sequence on `jobs`
// threads, then refines the best designs that meet every requirement with NLopt's COBYLA to a
// relative tolerance of 1e-10 on the varied values, keeping the best design met on the way.
// The same problem gives the same doubles for every `jobs`. `progress`, if set, is called on
// this thread now and then with the runs so far and the best design so far (found false
// until there is one). go_on() is asked at least every 50 ms; when it returns false the
// search ends at once with what it has.
Optimum optimize(const Problem& problem, int jobs, const std::function<void(const Optimum& best)>& progress,
                 const std::function<bool()>& go_on);
