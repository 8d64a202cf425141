// Step-size study of the transition, with the program's own flight model, integrator and
// stop test: the run from rest is integrated at h = 0.05 / 2^k, k = 0..6, and one CSV row
// per step size goes to standard output (every real number with 17 significant digits):
//   h                              step size, s
//   fixed_v, fixed_x, fixed_w      state after N * 2^k steps, N the number of steps of the
//                                  run at h = 0.05: the same final time for every h, so
//                                  their change shows the integration error at that time
//   stop_step, stop_t, stop_v,     where the run's stop test fires at that h (step cap
//   stop_x, stop_w                 800 * 2^k): steps taken, time at the end of the
//                                  stopping step by repeated addition, state there
// The model's evaluation lines are discarded. Exits 1 with a message on standard error if
// the table could not be written in full.
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "flight_model/flight_model.h"
#include "integrator/rkg4.h"
#include "transition_run/calk.h"

namespace {

// A moment of the run: steps taken from rest, time reached and state (v, x, w) there.
struct Moment {
    int steps;
    double t;
    double y[3];
};

// Integrates from rest with step h until the stop test fires, at most `cap` steps, and
// on to `fixed_steps` steps if the stop comes first; reports both moments.
void integrate(double h, int cap, int fixed_steps, Moment& fixed, Moment& stop) {
    double t = 0.0;
    double start[3] = {0.0, 0.0, 0.0};
    double end[3];
    double dydt[3];
    bool stopped = false;
    for (int i = 0; !stopped || i < fixed_steps; ++i) {
        RKG4(FFFF, start, dydt, end, 3, h, t);
        t = t + h;
        const Moment now = {i + 1, t, {end[0], end[1], end[2]}};
        if (now.steps == fixed_steps) {
            fixed = now;
        }
        if (!stopped && run_stops(end[0], lift, Q, i, cap)) {
            stopped = true;
            stop = now;
        }
        for (int k = 0; k < 3; ++k) {
            start[k] = end[k];
        }
    }
}

#ifdef _WIN32
const char* const null_device = "NUL";

// A stream on a copy of standard output, in binary mode: its lines end in a line feed alone.
std::FILE* copy_of_stdout() {
    const int fd = _dup(_fileno(stdout));
    return fd < 0 || _setmode(fd, _O_BINARY) < 0 ? nullptr : _fdopen(fd, "wb");
}
#else
const char* const null_device = "/dev/null";

std::FILE* copy_of_stdout() {
    const int fd = dup(STDOUT_FILENO);
    return fd < 0 ? nullptr : fdopen(fd, "w");
}
#endif

}  // namespace

int main() {
    // The table keeps the real standard output; the model's lines, some 20 MB, go to the
    // null device untranslated and in large blocks (line by line, Windows takes minutes).
    static char discarded[1 << 20];
    std::fflush(stdout);
    std::FILE* table = copy_of_stdout();
    if (table == nullptr || std::freopen(null_device, "wb", stdout) == nullptr ||
        std::setvbuf(stdout, discarded, _IOFBF, sizeof discarded) != 0) {
        std::fprintf(stderr, "step_study: cannot set up the output: %s\n", std::strerror(errno));
        return 1;
    }

    Moment fixed{}, stop{};
    integrate(run_step, run_step_cap, 0, fixed, stop);
    const int base_steps = stop.steps;

    std::fprintf(table, "h,fixed_v,fixed_x,fixed_w,stop_step,stop_t,stop_v,stop_x,stop_w\n");
    for (int k = 0; k <= 6; ++k) {
        const double h = run_step / (1 << k);
        integrate(h, run_step_cap << k, base_steps << k, fixed, stop);
        std::fprintf(table, "%.17g,%.17g,%.17g,%.17g,%d,%.17g,%.17g,%.17g,%.17g\n", h,
                     fixed.y[0], fixed.y[1], fixed.y[2], stop.steps, stop.t, stop.y[0],
                     stop.y[1], stop.y[2]);
    }

    errno = 0;
    if (std::fclose(table) != 0) {
        std::fprintf(stderr, "step_study: cannot write the table: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    return 0;
}
