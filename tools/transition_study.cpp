// transition-study [VEHICLE.toml] [--set KEY=VALUE]... [--trace | --show-vehicle]
// The transition of any aircraft: one CSV row of how its run ends and when its stop
// condition really holds, its trace, or the resolved vehicle file. Exit 1 with one line
// on standard error for bad input or an aircraft the model cannot fly, 2 for a usage error.
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "flight_model/flight_model.h"
#include "output_file/standard_output.h"
#include "study/study.h"
#include "vehicle_file/vehicle_file.h"

namespace {

constexpr const char* me = "transition-study";

int refuse(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
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
    auto* trace_flag = app.add_flag("--trace", trace, "Print the run's trace instead, in the program's format");
    app.add_flag("--show-vehicle", show, "Print the resolved vehicle as a vehicle file instead")
        ->excludes(trace_flag);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", me, e.what());
        return 2;
    }

    binary_standard_output();
    closed_pipe_is_write_error();
    Vehicle vehicle = built_in_vehicle;
    try {
        if (!path.empty()) read_vehicle_file(path, vehicle);
        for (const std::string& setting : settings) apply_setting(setting, vehicle);
    } catch (const VehicleError& e) {
        return refuse(path.empty() || e.what()[0] == '-' ? std::string(me) + ": " + e.what() : e.what());
    }

    if (show) {
        std::fputs(vehicle_file_text(vehicle).c_str(), stdout);
        return finish_standard_output(me, "the vehicle") ? 0 : 1;
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
    std::printf("%s\n%s\n", study_header, study_row(result).c_str());
    return finish_standard_output(me, "the row") ? 0 : 1;
}
