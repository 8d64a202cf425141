#pragma once

// Exact derivatives of a run's smooth figures (study.h's smooth_columns) with respect to a
// vehicle's real values: the derivatives of the figures as computed, of the discrete 0.05 s
// scheme, not of an ideal solution. The run is made once on dual numbers carrying the
// partials (derivatives/dual.h); at the located moment the moment itself moves with the
// design, by the implicit-function theorem on the condition that locates it; a peak's is
// the derivative at the evaluation (or the schedule's point) where it is attained; at a kink
// (the lift-rotor thrust clamped at 0) the derivative of the branch taken.

#include <cstddef>
#include <vector>

#include "flight_model/vehicle_model.h"
#include "study/study.h"

struct StudyDerivatives {
    StudyResult result;  // the run itself: the same doubles as study_vehicle gives
    // For smooth figure i: whether it has derivatives (not for an invalid run, nor for the
    // moment's figures when no moment is located), and d[i][j], its derivative with respect
    // to value j of those asked, in the figure's unit per the value's. An entry that is not
    // finite (a moment where the condition only touches zero) is not a derivative.
    bool known[smooth_count];
    std::vector<double> d[smooth_count];
};

// The figures' derivatives of vehicle p with respect to its real values `values`, each an
// index in each_real's order (0 to real_count(p) - 1); refuses an index out of range with
// std::out_of_range. The partials are carried a few values at a time, so any number of
// values may be asked; the cost is about that of a run for each few, the knots of a table
// schedule above every speed the run asks it for costing none.
StudyDerivatives study_derivatives(const Vehicle& p, const std::vector<std::size_t>& values);

// The same for the run of p with a step cap of `most_steps` steps (study_vehicle_beyond).
// `wide` lets the partials be carried by the CPU's widest vector unit that the build knows
// (AVX2 on x86-64); they are the same doubles without.
StudyDerivatives study_derivatives_beyond(const Vehicle& p, const std::vector<std::size_t>& values, int most_steps,
                                          bool wide = true);

// How many real values vehicle p has.
std::size_t real_count(const Vehicle& p);
