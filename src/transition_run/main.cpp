#include "flight_model/flight_model.h"
#include "output_file/standard_output.h"
#include "trace_format/trace_lines.h"
#include "transition_run/calk.h"

int main() {
    binary_standard_output();
    double result[3];
    calk(result);
    print_summary_line(alphaj, result);
    // A trace that could not be written in full (disk full, stdout closed, I/O error) must
    // not pass for a good run.
    return finish_standard_output("transition", "the trace") ? 0 : 1;
}
