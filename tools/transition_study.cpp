// transition-study [VEHICLE.toml] [--set KEY=VALUE]... [--trace | --show-vehicle]
//                  [--sweep KEY=FIRST:LAST:COUNT|KEY=V1,V2,...]... [--jobs N] [--shard K/N]
//                  [--minimize|--maximize COLUMN --vary KEY=LOW:HIGH... [--require ...]...
//                   [--save-vehicle FILE]]
// The transition of any aircraft: one CSV row of how its run ends and when its stop
// condition really holds, its trace, the resolved vehicle file, one row per design of a
// grid, or the best design within a box of values. Exit 1 with one line on standard error
// for bad input or an aircraft the model cannot fly, 2 for a usage error.
#include <atomic>
#include <cmath>
#include <csignal>
#include <memory>
#include <optional>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "derivatives/derivatives.h"
#include "flight_model/flight_model.h"
#include "output_file/output_file.h"
#include "output_file/standard_output.h"
#include "study/study.h"
#include "study/sweep.h"
#include "vehicle_file/vehicle_file.h"
#ifdef TRANSITION_OPTIMIZE
#include "optimize/optimize.h"
#endif

namespace {

constexpr const char* me = "transition-study";

int refuse(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

// INT, TERM or HUP (a closed terminal or session) during a sweep: the sweep stops between
// two rows, then the signal ends the program. On POSIX systems they are blocked in every
// thread (the sweep's threads inherit the mask) and taken by a thread of their own with
// sigwait, so no handler ever interrupts a thread at work; a signal the program was started
// ignoring (as under nohup) stays ignored. Windows has only handlers, and no HUP.
struct Interrupt {
    std::atomic<bool> seen{false};
    std::atomic<int> signal{0};
};
#ifdef _WIN32
Interrupt* windows_interrupt = nullptr;
void on_signal(int signal) {
    windows_interrupt->signal = signal;
    windows_interrupt->seen = true;
}
void watch_signals(const std::shared_ptr<Interrupt>& interrupt) {
    windows_interrupt = interrupt.get();
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}
void end_by(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
#else
sigset_t interrupting() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(s, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) sigaddset(&set, s);
    }
    return set;
}
void watch_signals(const std::shared_ptr<Interrupt>& interrupt) {
    const sigset_t set = interrupting();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        std::thread([interrupt, set] {
            int signal = 0;
            if (sigwait(&set, &signal) == 0) {
                interrupt->signal = signal;
                interrupt->seen = true;
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the signals keep their default action, ending the sweep at once.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}
void end_by(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
}
#endif

int sweep(const Vehicle& vehicle, const std::vector<std::string>& sweeps, int jobs, const std::string* shard) {
    std::int64_t k = 1, n = 1;
    std::vector<Sweep> parsed;
    try {
        if (shard != nullptr) parse_shard(*shard, k, n);
        for (const std::string& s : sweeps) parsed.push_back(parse_sweep(s));
        const Grid grid(vehicle, std::move(parsed));
        const Shard part = shard_of(grid.size(), k, n);
        const auto interrupt = std::make_shared<Interrupt>();
        watch_signals(interrupt);
        int error = 0;
        const std::int64_t rows = run_sweep(
            grid, part, jobs, [&](std::string_view bytes) { return write_standard_output(bytes, error); },
            [&] { return !interrupt->seen; }, isatty(fileno(stderr)) ? stderr : nullptr);
        if (!finish_standard_output(me, "the sweep", error)) return 1;
        if (interrupt->seen) {
            std::fprintf(stderr, "%s: interrupted after %lld of %lld designs; the rows written are whole\n", me,
                         static_cast<long long>(rows), static_cast<long long>(part.end - part.begin));
            end_by(interrupt->signal);
            return 1;
        }
        return 0;
    } catch (const VehicleError& e) {
        return refuse(std::string(me) + ": " + e.what());
    }
}

// The objective, the box and the requirements of --minimize or --maximize, as given; each
// of --minimize, --maximize and --save-vehicle at most once.
struct Seek {
    std::vector<std::string> minimize, maximize, save;
    std::vector<std::string> vary, require;
    bool asked() const { return !minimize.empty() || !maximize.empty(); }
};

#ifdef TRANSITION_OPTIMIZE
static_assert(most_varied == 256, "--vary's help says how many values may be varied");

std::string real_text(double x) {
    std::string text;
    append_real(text, x);
    return text;
}

int optimize(const Vehicle& vehicle, const Seek& seek, int jobs) {
    Problem problem{vehicle, 0, !seek.maximize.empty(), {}, {}};
    try {
        const std::string column = problem.maximize ? seek.maximize[0] : seek.minimize[0];
        problem.objective = smooth_column(column, (problem.maximize ? "--maximize " : "--minimize ") + printable(column));
        for (const std::string& v : seek.vary)
            for (const Varied& each : parse_varied(v, vehicle)) problem.vary.push_back(each);
        for (const std::string& q : seek.require) problem.require.push_back(parse_requirement(q));
        check_problem(problem);
        std::FILE* shown = isatty(fileno(stderr)) ? stderr : nullptr;
        // The runs so far and the best figure, on one line rewritten in place.
        std::size_t shown_width = 0;
        const auto show = [&](const Optimum& so_far, const char* end) {
            if (shown == nullptr) return;
            const std::string line = std::string(me) + ": " + progress_line(problem, so_far);
            std::fprintf(shown, "\r%s%*s%s", line.c_str(),
                         static_cast<int>(shown_width > line.size() ? shown_width - line.size() : 0), "", end);
            std::fflush(shown);
            shown_width = line.size();
        };
        // The vehicle file's place is taken before the work, so that a name that cannot be
        // written is refused at once; it is filled only with an answer.
        std::optional<OutputFile> saved;
        try {
            if (!seek.save.empty()) saved.emplace(seek.save[0], me, -1);
        } catch (const std::runtime_error& e) {
            return refuse(std::string(me) + ": " + e.what());
        }
        const auto interrupt = std::make_shared<Interrupt>();
        watch_signals(interrupt);
        const Optimum best = ::optimize(
            problem, jobs, [&](const Optimum& so_far) { show(so_far, ""); }, [&] { return !interrupt->seen; });
        show(best, "\n");
        if (best.stopped) {
            // What the search had when it was stopped, on standard error alone.
            std::string had = "no design met every requirement";
            if (best.found) {
                had = "the best design so far is ";
                for (std::size_t k = 0; k < problem.vary.size(); ++k)
                    had += (k ? ", " : "") + problem.vary[k].value.name + "=" + real_text(best.x[k]);
                double figure = 0.0;
                study_figure(best.result, problem.objective, figure);
                had += std::string(" (") + study_columns[problem.objective] + " " + real_text(figure) + ")";
            }
            std::fprintf(stderr, "%s: interrupted after %lld runs; %s\n", me, static_cast<long long>(best.runs),
                         had.c_str());
            end_by(interrupt->signal);
            return 1;
        }
        if (!best.found) return refuse(std::string(me) + ": " + best.nearest);
        if (saved) {
            try {
                saved->write(vehicle_file_text(best.vehicle));
                saved->commit();
            } catch (const std::runtime_error& e) {
                return refuse(std::string(me) + ": " + e.what());
            }
        }
        for (const std::string& line : caveats(problem, best)) std::fprintf(stderr, "%s: %s\n", me, line.c_str());
        int error = 0;
        write_standard_output(optimum_header(problem) + optimum_row(best), error);
        return finish_standard_output(me, "the row", error) ? 0 : 1;
    } catch (const VehicleError& e) {
        return refuse(std::string(me) + ": " + e.what());
    }
}
#else
int optimize(const Vehicle&, const Seek&, int) {
    return refuse(std::string(me) + ": --minimize and --maximize are not built here: they need NLopt "
                                    "(apt-get install libnlopt-dev, then configure again)");
}
#endif

// The table of derivatives: one row per real value of the vehicle, in the order of its file,
// each smooth figure's derivative with respect to it; an empty entry where the figure has
// none (the moment's, without a located moment).
int derivatives(const Vehicle& vehicle) {
    const std::vector<std::string> names = real_value_names(vehicle);
    std::vector<std::size_t> all(names.size());
    for (std::size_t j = 0; j < all.size(); ++j) all[j] = j;
    const StudyDerivatives d = study_derivatives(vehicle, all);
    if (d.result.stop == Stop::invalid) {
        return refuse(std::string(me) + ": no derivatives: the model leaves its range: " + describe(d.result.invalid));
    }
    std::string table = "value";
    for (const char* figure : smooth_columns) table = table + "," + figure;
    table += "\n";
    for (std::size_t j = 0; j < names.size(); ++j) {
        table += names[j];
        for (std::size_t i = 0; i < smooth_count; ++i) {
            table += ',';
            if (d.known[i] && std::isfinite(d.d[i][j])) append_real(table, d.d[i][j]);
        }
        table += "\n";
    }
    int error = 0;
    write_standard_output(table, error);
    return finish_standard_output(me, "the derivatives", error) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Runs the transition from hover to wing-borne flight for any aircraft, described in a "
        "vehicle file (TOML; every key optional, defaulting to the built-in aircraft) and "
        "--set, and prints a CSV row: how the run stopped, its final state, the moment the "
        "stop condition really holds, and the peak lift-rotor thrust and power.",
        me};
    std::string path;
    std::vector<std::string> settings;
    bool trace = false, show = false;
    app.add_option("VEHICLE", path, "Vehicle file; without it, the built-in aircraft");
    app.add_option("--set", settings,
                   "Overrides one key, as KEY=VALUE or KEY[INDEX]=VALUE for one coefficient "
                   "(e.g. --set mass=30 --set 'propeller_thrust[0]=45'); repeatable")
        ->type_name("KEY=VALUE")
        ->allow_extra_args(false);
    std::vector<std::string> sweeps;
    std::vector<std::string> jobs, shard;
    bool derivative = false;
    auto* trace_flag = app.add_flag("--trace", trace, "Print the run's trace instead, in the program's format");
    auto* show_flag = app.add_flag("--show-vehicle", show, "Print the resolved vehicle as a vehicle file instead")
        ->excludes(trace_flag);
    auto* sweep_option =
        app.add_option("--sweep", sweeps,
                       "Sweeps one value over COUNT evenly spaced values from FIRST to LAST, both "
                       "included, or over a list; KEY as for --set. Several make the full grid, "
                       "the first varying slowest: one row per design, invalid ones included")
            ->type_name("KEY=FIRST:LAST:COUNT|KEY=V1,V2,...")
            ->allow_extra_args(false)
            ->excludes(trace_flag)
            ->excludes(show_flag);
    Seek seek;
    std::string smooth = smooth_columns[0];
    for (std::size_t i = 1; i < smooth_count; ++i) smooth += (i + 1 < smooth_count ? ", " : " or ") + std::string(smooth_columns[i]);
    auto* minimize_option = app.add_option("--minimize", seek.minimize,
                                           "Seeks the design that gives the least of COLUMN (" + smooth +
                                               ") within the --vary box, meeting every --require")
                                ->type_name("COLUMN")
                                ->allow_extra_args(false)
                                ->excludes(trace_flag)
                                ->excludes(show_flag)
                                ->excludes(sweep_option);
    auto* maximize_option = app.add_option("--maximize", seek.maximize, "As --minimize, for the most of COLUMN")
                                ->type_name("COLUMN")
                                ->allow_extra_args(false)
                                ->excludes(trace_flag)
                                ->excludes(show_flag)
                                ->excludes(sweep_option)
                                ->excludes(minimize_option);
    auto* vary_option = app.add_option("--vary", seek.vary,
                                       "A value to vary between LOW and HIGH, KEY as for --set, or every "
                                       "element of an array key within the same bounds (schedule_angle=LOW:HIGH, "
                                       "each knot's angle); at most 256 values in all; repeatable")
                            ->type_name("KEY=LOW:HIGH")
                            ->allow_extra_args(false);
    auto* require_option = app.add_option("--require", seek.require,
                                          "A requirement the design must meet, on a COLUMN as for --minimize; "
                                          "repeatable")
                               ->type_name("'COLUMN<=VALUE'|'COLUMN>=VALUE'|'COLUMN==VALUE'")
                               ->allow_extra_args(false);
    auto* save_option = app.add_option("--save-vehicle", seek.save, "Also writes the best design's vehicle file to FILE")
                            ->type_name("FILE")
                            ->allow_extra_args(false);
    app.add_flag("--derivatives", derivative,
                 "Print instead the derivative of each figure at the located moment and of each peak with "
                 "respect to each real value of the vehicle, one row per value, in the figure's unit per the "
                 "value's")
        ->excludes(trace_flag)
        ->excludes(show_flag)
        ->excludes(sweep_option)
        ->excludes(minimize_option)
        ->excludes(maximize_option);
    auto* jobs_option = app.add_option("--jobs", jobs, "Threads for a sweep or an optimisation's sampling, 1 to " +
                                                           std::to_string(most_jobs) + " (default: the machine's cores)")
                            ->type_name("N")
                            ->allow_extra_args(false);
    auto* shard_option = app.add_option("--shard", shard, "Runs the K-th of N contiguous, equal parts of a sweep's grid")
                             ->type_name("K/N")
                             ->allow_extra_args(false)
                             ->needs(sweep_option);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", me, e.what());
        return 2;
    }

    // Options that take one value, given once.
    for (const auto* option : {minimize_option, maximize_option, save_option, jobs_option, shard_option}) {
        if (option->count() > 1) {
            std::fprintf(stderr, "%s: %s given %zu times; it takes one value (see --help)\n", me,
                         option->get_name().c_str(), option->count());
            return 2;
        }
    }
    // What only a sweep or an optimisation takes.
    for (const auto* option : {vary_option, require_option, save_option}) {
        if (option->count() > 0 && !seek.asked()) {
            std::fprintf(stderr, "%s: %s needs --minimize or --maximize (see --help)\n", me,
                         option->get_name().c_str());
            return 2;
        }
    }
    if (jobs_option->count() > 0 && sweeps.empty() && !seek.asked()) {
        std::fprintf(stderr, "%s: --jobs needs --sweep, --minimize or --maximize (see --help)\n", me);
        return 2;
    }

    if (!hold_standard_descriptors(me)) return 1;
    binary_standard_output();
    closed_pipe_is_write_error();
    Vehicle vehicle = built_in_vehicle;
    try {
        if (!path.empty()) read_vehicle_file(path, vehicle);
        for (const std::string& setting : settings) apply_setting(setting, vehicle);
    } catch (const VehicleError& e) {
        return refuse(path.empty() || e.what()[0] == '-' ? std::string(me) + ": " + e.what() : e.what());
    }

    if (!sweeps.empty() || seek.asked()) {
        int threads = default_jobs();
        try {
            // Given is given: an empty --jobs '' is refused as any other text that is no count.
            if (jobs_option->count() > 0) threads = parse_jobs(jobs[0]);
        } catch (const VehicleError& e) {
            return refuse(std::string(me) + ": " + e.what());
        }
        return seek.asked() ? optimize(vehicle, seek, threads)
                            : sweep(vehicle, sweeps, threads, shard_option->count() > 0 ? &shard[0] : nullptr);
    }
    if (derivative) return derivatives(vehicle);
    int error = 0;
    if (show) {
        write_standard_output(vehicle_file_text(vehicle), error);
        return finish_standard_output(me, "the vehicle", error) ? 0 : 1;
    }
    // The run is made whole before anything is printed, so an aircraft the model cannot
    // fly leaves no partial output.
    const StudyResult result = study_vehicle(vehicle);
    if (result.stop == Stop::invalid) {
        return refuse(std::string(me) + ": the model leaves its range: " + describe(result.invalid));
    }
    if (trace) {
        study_vehicle(vehicle, true);
        return finish_standard_output(me, "the trace") ? 0 : 1;
    }
    write_standard_output(std::string(study_header) + "\n" + study_row(result) + "\n", error);
    return finish_standard_output(me, "the row", error) ? 0 : 1;
}
