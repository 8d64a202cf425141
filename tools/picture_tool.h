#pragma once

#include <functional>
#include <string>

#include "trace_format/trace_reader.h"

// What the picture tools share (POSIX only): "PROGRAM INPUT|- OUT.png|OUT.svg|OUT.pdf".

// The input as the command line, usage line and help name it: name "TRACE", usage "TRACE|-".
struct PictureInput {
    const char* name;
    const char* usage;
    const char* help;
};

// The whole of a picture tool: holds the standard descriptors, parses the command line (2 after the usage line if wrong,
// OUT's extension included), finds gnuplot, opens the input ("-" is standard input) and
// OUT, has `script` read the input into gnuplot's script (what follows the terminal line),
// and puts the picture in OUT once gnuplot drew it whole. Returns the exit status, 0 only
// if OUT is whole; failures as run_tool gives them.
int run_picture_tool(const std::string& program, const std::string& about, const PictureInput& input,
                     int argc, char** argv, const std::function<std::string(const TraceInput&)>& script);
