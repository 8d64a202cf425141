// The trace as a table: transition-csv TRACE|- [OUT.csv|-]. One CSV row per step after the
// header t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz: the step line's values and those of the
// step's fourth model evaluation, the trace's own text. Without OUT, or with "-", the table
// goes to standard output. A trace that is not read whole writes nothing.
#include <string>

#include "output_file/output_file.h"
#include "trace_tool.h"

int main(int argc, char** argv) {
    const std::string program = "transition-csv";
    if (!hold_standard_descriptors(program.c_str())) return 1;
    CLI::App app("Turns a transition trace into CSV, one row per step.", program);
    std::string trace, out = "-";
    app.add_option("TRACE", trace, "the trace, a file or - for standard input")->required();
    app.add_option("OUT", out, "the table, - (the default) for standard output");
    parse_command_line(app, argc, argv, "usage: " + program + " TRACE|- [OUT.csv|-]");
    return run_tool(program, [&] {
        const TraceInput input(trace);
        OutputFile output(out, program, input.fd());
        output.write(table_header());
        read_table(program, input, [&](const TraceStep&, std::string_view row) { output.write(row); });
        output.commit();
    });
}
