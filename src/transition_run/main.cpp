#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "flight_model/flight_model.h"
#include "transition_run/calk.h"

int main() {
#ifdef _WIN32
    // Lines end with a line feed alone, on every platform: the C runtime's text mode
    // would turn each into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    double result[3];
    calk(result);
    std::printf("\n alpha %f v %f x %f w %f\n", degrees(alphaj), result[0], result[1], result[2]);

    // A trace that could not be written in full (disk full, stdout closed, I/O error) must
    // not pass for a good run. The stream's error flag remembers any failed write; the
    // final flush, which fails again while output is pending, reports why.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "transition: cannot write the trace: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    return 0;
}
