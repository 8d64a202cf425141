// Draws a transition trace: transition-plot TRACE|- OUT.png|OUT.svg|OUT.pdf, the format from
// OUT's extension in any case. Four panels over time: speed and distance, wing lift and
// lift-rotor thrust against the weight, lift-rotor energy, angle of attack, each step's
// values drawn at the step's end. gnuplot draws from the trace's table into a pipe; the
// picture replaces OUT only once it is whole. A trace that is not read whole draws nothing.
#include <charconv>
#include <string>

#include "output_file/gnuplot_picture.h"
#include "picture_tool.h"
#include "trace_tool.h"
#include "transition_run/calk.h"

namespace {

const std::string program = "transition-plot";

// The panels, drawn from the datablock $steps, the trace's table with its header row; t is
// the start of each step and its values belong to its end, so each is drawn at t + step.
const char* const panels = R"gp(set datafile separator comma
set datafile columnheaders
set multiplot layout 4,1 title title font "sans,13"
set grid
set autoscale xfix
set key top left
set lmargin 12
set rmargin 12
set format x ""

set ylabel "speed v (m/s)"
set y2label "distance x (m)"
set ytics nomirror
set y2tics
plot $steps using ($1 + step):3 with lines lw 2 title "speed v", \
     "" using ($1 + step):4 axes x1y2 with lines lw 2 title "distance x"
unset y2label
unset y2tics
set ytics mirror

set ylabel "force (N)"
set key top center horizontal
set offsets 0, 0, graph 0.25, 0
plot $steps using ($1 + step):7 with lines lw 2 title "wing lift", \
     "" using ($1 + step):8 with lines lw 2 title "lift-rotor thrust", \
     "" using ($1 + step):6 with lines dt 2 lc rgb "black" title "weight Q"

set ylabel "energy w (kJ)"
set key top left vertical
set offsets 0, 0, 0, 0
plot $steps using ($1 + step):($5 / 1000) with lines lw 2 title "lift-rotor energy w"

set format x "%g"
set xlabel "t (s)"
set ylabel "angle of attack (deg)"
plot $steps using ($1 + step):10 with lines lw 2 title "angle of attack"
unset multiplot
)gp";

// Why the run stopped, at the end of its last step, and its summary. A trace with its
// summary stopped for a reason, which the run's own stop test gives from the last step line;
// its six decimals can hide only a speed just past 25 m/s (lift at or above the weight
// prints at or above it, and the step count is exact), so a test that finds no reason in
// the printed figures means that one.
std::string title(const TraceEnd& end, const TraceStep& last) {
    const std::string steps = std::to_string(end.steps);
    const std::string until = fixed(last.value[col_t] + run_step, 2);
    if (!end.summary)
        return "Transition, incomplete trace (no summary line): " + steps + " steps to t = " + until + " s";
    const StopReason reason = run_stop_reason(last.value[col_v], last.value[col_lift], last.value[col_Q],
                                              static_cast<int>(end.steps) - 1, run_step_cap);
    const std::string why = reason == StopReason::cap    ? "step cap of " + std::to_string(run_step_cap) + " steps reached"
                            : reason == StopReason::lift ? "wing lift reached the weight"
                                                         : "speed passed 25 m/s";
    const auto& final = end.summary->text;
    return "Transition: " + why + " after " + steps + " steps (t = " + until + " s)\n" +
           "final alpha " + final[sum_alpha] + " deg, v " + final[sum_v] + " m/s, x " +
           final[sum_x] + " m, w " + final[sum_w] + " J";
}

}  // namespace

int main(int argc, char** argv) {
    return run_picture_tool(
        program, "Draws a transition trace: speed and distance, forces, energy and angle of attack over time.",
        {"TRACE", "TRACE|-", "the trace, a file or - for standard input"}, argc, argv, [&](const TraceInput& input) {
            std::string script = "$steps << EOD\n" + table_header();
            TraceStep last{};
            const TraceEnd end = read_table(program, input, [&](const TraceStep& step, std::string_view row) {
                script += row;
                last = step;
            });
            char step[32];
            *std::to_chars(step, step + sizeof step - 1, run_step).ptr = '\0';
            return script + "EOD\nstep = " + std::string(step) + "\ntitle = " + gnuplot_string(title(end, last)) +
                   "\n" + panels;
        });
}
