#include "picture_tool.h"

#include <cstdio>
#include <optional>

#include "output_file/gnuplot_picture.h"
#include "output_file/output_file.h"
#include "trace_tool.h"

int run_picture_tool(const std::string& program, const std::string& about, const PictureInput& input,
                     int argc, char** argv, const std::function<std::string(const TraceInput&)>& script) {
    if (!hold_standard_descriptors(program.c_str())) return 1;
    CLI::App app(about, program);
    std::string in, out;
    app.add_option(input.name, in, input.help)->required();
    app.add_option("OUT", out, "the picture; its extension, .png, .svg or .pdf, gives the format")
        ->required();
    const std::string usage = "usage: " + program + " " + input.usage + " OUT.png|OUT.svg|OUT.pdf";
    parse_command_line(app, argc, argv, usage);
    const std::optional<PictureFormat> format = picture_format(out);
    if (!format) {
        std::fprintf(stderr, "%s\n", usage.c_str());
        return 2;
    }
    return run_tool(program, [&] {
        const std::string gnuplot = find_gnuplot();
        const TraceInput opened(in);
        OutputFile output(out, program, opened.fd());
        draw_picture(gnuplot, picture_terminal(*format) + script(opened), *format, output, out);
        output.commit();
    });
}
