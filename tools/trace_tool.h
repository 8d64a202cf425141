#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "trace_format/trace_reader.h"

// What the trace tools share: their command line, their failures, and the trace's table.

// Parses the command line into `app`'s positional names, which may begin with '-' (a file
// named "-" itself is "./-"); "-h" or "--help" anywhere asks for the help instead. Exits 0
// after printing the help (1 with one line if it cannot be written), 2 after printing
// `usage` for any other command line.
void parse_command_line(CLI::App& app, int argc, char** argv, const std::string& usage);

// Runs `body` and returns the exit status: 0 if it returned, 1 if it threw, after one line
// on standard error: a refused trace's own message ("FILE:LINE: expected ..."), or
// "PROGRAM: " and the failure's, its control characters escaped (\n, \x1b...) as in every
// message of the tools.
int run_tool(const std::string& program, const std::function<void()>& body);

// The trace's table, CSV: a header row of the column names, then per step a row of the
// trace's own text, every row ending in a line feed.
std::string table_header();

// Reads the trace from `input`, passing each step with its table row to on_step; a run cut
// short gets one warning on standard error, "PROGRAM: warning: ...", and throws
// std::runtime_error if the warning cannot be written.
TraceEnd read_table(const std::string& program, const TraceInput& input,
                    const std::function<void(const TraceStep&, std::string_view row)>& on_step);
