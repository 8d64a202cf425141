#pragma once

// Optimal designs: within a box of some of a vehicle's values, the design whose study gives
// the least (or the most) of one figure while other figures meet requirements. Only figures
// that move smoothly with the design take part (study.h's smooth_columns); the step-end
// figures jump by up to a step when a design change moves the stopping step. A design the
// model cannot fly, or whose run ends at the step cap (no located moment), is never the
// answer and meets no requirement. The local search follows the figures' exact gradients
// (derivatives/derivatives.h); at the answer, each requirement's cost is the derivative of
// the objective with respect to its limit.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "study/study.h"
#include "vehicle_file/vehicle_file.h"

// A figure an objective or a requirement may name, one of smooth_columns; its column in the
// study's row. Refuses any other name (VehicleError "WHERE: ..."), a step-end column saying
// why and naming its located counterpart.
std::size_t smooth_column(const std::string& name, const std::string& where);

// One varied value, "KEY=LOW:HIGH" (KEY or KEY[i] as a sweep's), LOW < HIGH, both within the
// key's own range (so is every value between them). The rotor count, a whole number, cannot
// be varied.
struct Varied {
    VehicleValue value;
    double low, high;
    std::string where;  // "--vary TEXT", for refusals
};
// The values varied for a vehicle `base`: KEY's or KEY[i]'s, or for a whole array key every
// one of its elements (each knot of a table, "schedule_angle=LOW:HIGH"), each within the same
// bounds, each bound checked on the base's own values. From its parts, `where` names it in
// refusals (by default "--vary KEY=LOW:HIGH").
std::vector<Varied> parse_varied(const std::string& text, const Vehicle& base);
std::vector<Varied> make_varied(const std::string& key, double low, double high, const Vehicle& base,
                                const std::string& where = "");

// A requirement on one figure: "COLUMN<=VALUE", "COLUMN>=VALUE" or "COLUMN==VALUE", VALUE
// finite. An equality is met within 1e-10 of the value's size (of 1 for a value of 0).
enum class Bound { at_most, at_least, equal };
struct Requirement {
    std::size_t column;
    Bound bound;
    double value;
    std::string text;  // as given, for messages and the cost's column
};
// `where` names it in refusals (by default "--require TEXT").
Requirement parse_requirement(const std::string& text, const std::string& where = "");

// The most values varied at once, and the most that the global stage samples a box of; a
// larger box starts from the vehicle's own design and a few others (see optimize).
constexpr std::size_t most_varied = 256;
constexpr std::size_t most_sampled = 8;

// What is sought: the objective's figure, least or most, over the box of `vary` (one to
// most_varied distinct values) around `base`, subject to every requirement. The order in
// which values and requirements are given changes nothing but the order they are reported in.
struct Problem {
    Vehicle base;
    std::size_t objective;
    bool maximize;
    std::vector<Varied> vary;
    std::vector<Requirement> require;
};

// Refuses a problem that cannot be posed (no value or more than most_varied varied, one
// value varied twice, one requirement given twice) with VehicleError; `vary` names the
// values as a whole in refusals.
void check_problem(const Problem& problem, const std::string& vary = "--vary");

struct Optimum {
    bool found = false;        // whether some design meets every requirement
    bool stopped = false;      // whether the search was asked to stop before its end
    std::vector<double> x;     // the best design's varied values, in the order of `vary`
    Vehicle vehicle{};         // its vehicle
    StudyResult result{};      // its study
    // For each requirement, in the order given: d(objective)/d(its value) at the answer, in
    // the objective's unit per the requirement's: how the best objective moves as the limit
    // rises; exactly 0 for a requirement that does not bind.
    std::vector<double> costs;
    // For each varied value: -1 on its lower bound, +1 on its upper, 0 inside the box.
    std::vector<int> on_bound;
    // Whether the answer's moment lies in the last step before the step cap: longer runs
    // would reach the cap, so the answer may be the cap's limit rather than the design's.
    bool at_the_cap = false;
    std::int64_t runs = 0;     // designs studied in all, each run with or without derivatives
    std::int64_t gradients = 0;  // of which with derivatives
    // When none is found: one line naming the requirement nearest to being met and by how
    // much, and the design nearest to meeting them all (if any design could be flown).
    std::string nearest;
    std::string nearest_requirement;  // that requirement, as given (none without a flyable design)
    double nearest_missed = 0.0;      // by how much, as a fraction of its value's size
    bool nearest_found = false;
    std::vector<double> nearest_x;
    Vehicle nearest_vehicle{};
    StudyResult nearest_result{};
};

// How the search looks: the local method, the global stage's sample and the local searches
// at most. The defaults are those the measurements of bench/optimize_bench chose.
enum class LocalMethod { slsqp, mma, ccsaq };
struct SearchOptions {
    LocalMethod method = LocalMethod::slsqp;
    std::int64_t samples = 0;  // points of the global stage; 0 for default_samples
    std::size_t starts = 6;
};
std::int64_t default_samples(std::size_t varied);

// Samples the box (of at most most_sampled values) at a few hundred points of a
// low-discrepancy (Halton) sequence on `jobs` threads, or for more values takes the vehicle's
// own design (its values put inside the box), the box's middle and its two corners; then
// from the best of them follows the exact gradients of the objective and the requirements
// with NLopt's SLSQP, keeping the best design met on the way; a value left within a hair of
// its bound is put on it. The same problem gives the same doubles for every `jobs`.
// `progress`, if set, is called on this thread now and then with the search so far (found
// false until a design meets every requirement). go_on() is asked on this thread at least
// every 50 ms; once it returns false the search ends with what it has (stopped true).
Optimum optimize(const Problem& problem, int jobs, const std::function<void(const Optimum& best)>& progress,
                 const std::function<bool()>& go_on, const SearchOptions& options = {});

// The answer as CSV: the header (the varied values as given, the study's columns, each
// requirement's cost named as the requirement was given, note) and the answer's row, each
// real "%.17g", with its line feed.
std::string optimum_header(const Problem& problem);
std::string optimum_row(const Optimum& best);

// One line on the search so far, for a terminal: the runs and the best figure.
std::string progress_line(const Problem& problem, const Optimum& so_far);

// Lines on what the answer rests on, for standard error: each value on a bound of its box,
// and an answer at the step cap; empty when there is nothing to say.
std::vector<std::string> caveats(const Problem& problem, const Optimum& best);
