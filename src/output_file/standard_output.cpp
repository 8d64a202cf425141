#include "output_file/standard_output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

void binary_standard_output() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

void closed_pipe_is_write_error() {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool write_standard_output(std::string_view bytes, int& error) {
    if (error != 0) return false;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::ferror(stdout)) {
        error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

bool finish_standard_output(const char* program, const char* what, int error) {
    // The stream's error flag remembers any failed write; the final flush, which fails
    // again while output is pending, says why.
    if (error == 0) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, what, std::strerror(error));
        return false;
    }
    return true;
}
