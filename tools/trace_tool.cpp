#include "trace_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace {

// `text` for a terminal: control characters, C0 and DEL and C1 as UTF-8 encodes them, as
// escapes (\n, \r, \t, \x1b...), so that a name or a field cannot move the cursor, change
// colours or break the message's one line.
std::string printable(std::string_view text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte >= 0x20 && byte != 0x7F && !c1) {
            shown += text[i];
        } else if (byte == '\n' || byte == '\r' || byte == '\t') {
            shown += byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
        } else {
            const char* const hex = "0123456789abcdef";
            for (int k = 0; k < (c1 ? 2 : 1); ++k) {
                const auto escaped = static_cast<unsigned char>(text[i + k]);
                shown += std::string("\\x") + hex[escaped >> 4] + hex[escaped & 15];
            }
            i += c1;
        }
    }
    return shown;
}

}  // namespace

void parse_command_line(CLI::App& app, int argc, char** argv, const std::string& usage) {
    std::vector<char*> arguments(argv, argv + argc);
    bool help = false;
    for (int i = 1; i < argc; ++i) help = help || arguments[i] == std::string("-h") ||
                                          arguments[i] == std::string("--help");
    // After "--" every argument is a name, whatever its first character.
    char separator[] = "--";
    if (!help && (argc < 2 || arguments[1] != std::string(separator)))
        arguments.insert(arguments.begin() + 1, separator);
    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::CallForHelp& help_asked) {
        app.exit(help_asked);
        errno = 0;
        if (std::cout.flush() && std::fflush(stdout) == 0 && !std::ferror(stdout)) std::exit(0);
        std::fprintf(stderr, "%s: cannot write the help: %s\n", app.get_name().c_str(),
                     std::strerror(errno != 0 ? errno : EIO));
        std::exit(1);
    } catch (const CLI::ParseError&) {
        std::cerr << usage << '\n';
        std::exit(2);
    }
}

int run_tool(const std::string& program, const std::function<void()>& body) {
    try {
        body();
        return 0;
    } catch (const TraceError& refused) {
        std::fprintf(stderr, "%s\n", printable(refused.what()).c_str());
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), printable(failure.what()).c_str());
    }
    return 1;
}

std::string table_header() {
    std::string header;
    for (const char* name : trace_column_names) header += std::string(name) + ',';
    header.back() = '\n';
    return header;
}

TraceEnd read_table(const std::string& program, const TraceInput& input,
                    const std::function<void(const TraceStep&, std::string_view row)>& on_step) {
    std::string row;
    const TraceEnd end = read_trace(input.fd(), input.name(), [&](const TraceStep& step) {
        row.clear();
        for (const std::string& value : step.text) row += value + ',';
        row.back() = '\n';
        on_step(step, row);
    });
    // A warning that cannot be given fails the tool: the output of a run cut short is not
    // passed off as whole.
    if (!end.summary &&
        std::fprintf(stderr,
                     "%s: warning: %s has no summary line (the run was cut short); its %zu "
                     "complete steps are kept\n",
                     program.c_str(), printable(input.name()).c_str(), end.steps) < 0)
        throw std::runtime_error(std::string("cannot give the warning that the run was cut short: ") +
                                 std::strerror(errno));
    return end;
}
