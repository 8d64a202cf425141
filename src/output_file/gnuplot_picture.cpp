#include "output_file/gnuplot_picture.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// gnuplot's terminal for each format, in the order of PictureFormat. An SVG is otherwise
// transparent: a dark viewer would show its black lines and text on black.
const char* const terminals[] = {
    "set terminal pngcairo size 1400,1000 font \"sans,11\"\n",
    "set terminal svg size 1400,1000 dynamic background rgb \"white\" font \"sans,11\"\n",
    "set terminal pdfcairo size 29.7cm,21cm font \"sans,9\"\n",
};

// Whether a picture whose last bytes are `tail` was written to its end: a PNG ends with
// its IEND chunk, an SVG with "</svg>", a PDF with "%%EOF" (the last two perhaps followed
// by white space).
bool whole(PictureFormat format, std::string tail) {
    if (format == PictureFormat::png) {
        const std::string iend("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
        return tail.size() >= iend.size() && tail.compare(tail.size() - iend.size(), iend.size(), iend) == 0;
    }
    while (!tail.empty() && std::strchr(" \t\r\n", tail.back()) != nullptr) tail.pop_back();
    const std::string end = format == PictureFormat::svg ? "</svg>" : "%%EOF";
    return tail.size() >= end.size() && tail.compare(tail.size() - end.size(), end.size(), end) == 0;
}

// The executable `name` in a directory of PATH, or "" if there is none.
std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();) {
        std::size_t colon = directories.find(':', start);
        if (colon == std::string::npos) colon = directories.size();
        const std::string directory = directories.substr(start, colon - start);
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = colon + 1;
    }
    return "";
}

// A descriptor, closed with this object unless closed before.
class Descriptor {
public:
    Descriptor() = default;
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int& fd() { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

void make_pipe(Descriptor& read_end, Descriptor& write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot start gnuplot: ") + std::strerror(errno));
    read_end.fd() = ends[0];
    write_end.fd() = ends[1];
}

// gnuplot, started with its standard input, output and error on pipes, in a process group
// of its own, without its personal settings (-d) and in the C locale; ended and waited
// for with this object if it has not been waited for before.
class Gnuplot {
public:
    Descriptor script, picture, errors;  // our ends of its pipes

    explicit Gnuplot(const std::string& path) {
        Descriptor script_in, picture_out, errors_out;
        make_pipe(script_in, script);
        make_pipe(picture, picture_out);
        make_pipe(errors, errors_out);
        std::vector<char*> environment;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "LC_ALL=", 7) != 0) environment.push_back(*e);
        char c_locale[] = "LC_ALL=C";
        environment.push_back(c_locale);
        environment.push_back(nullptr);
        char name[] = "gnuplot", defaults[] = "-d";
        char* arguments[] = {name, defaults, nullptr};

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, script_in.fd(), 0);
        posix_spawn_file_actions_adddup2(&actions, picture_out.fd(), 1);
        posix_spawn_file_actions_adddup2(&actions, errors_out.fd(), 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&signals, s);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        int error = 0;
        pid_ = start_child([&] {
            pid_t pid = 0;
            error = posix_spawn(&pid, path.c_str(), &actions, &attributes, arguments, environment.data());
            return error == 0 ? static_cast<int>(pid) : 0;
        });
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
        // Its script is written only as fast as it reads, while its picture is read.
        fcntl(script.fd(), F_SETFL, O_NONBLOCK);
    }

    ~Gnuplot() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        child_ended();
    }
    Gnuplot(const Gnuplot&) = delete;
    Gnuplot& operator=(const Gnuplot&) = delete;

    // Its wait status; throws if it cannot be had.
    int wait() {
        int status = 0;
        pid_t waited;
        while ((waited = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        const int error = errno;
        pid_ = 0;
        child_ended();
        if (waited < 0) throw std::runtime_error(std::string("cannot learn how gnuplot ended: ") + std::strerror(error));
        return status;
    }

private:
    int pid_ = 0;
};

}  // namespace

std::optional<PictureFormat> picture_format(const std::string& out) {
    const std::size_t dot = out.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    std::string extension = out.substr(dot + 1);
    for (char& c : extension) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (extension == "png") return PictureFormat::png;
    if (extension == "svg") return PictureFormat::svg;
    if (extension == "pdf") return PictureFormat::pdf;
    return std::nullopt;
}

const char* picture_terminal(PictureFormat format) { return terminals[static_cast<int>(format)]; }

std::string find_gnuplot() {
    const std::string gnuplot = find_program("gnuplot");
    if (gnuplot.empty())
        throw std::runtime_error("gnuplot not found; install it with: apt-get install gnuplot-nox");
    return gnuplot;
}

std::string gnuplot_string(const std::string& text) {
    std::string q = "\"";
    for (char c : text) q += c == '\n' ? std::string("\\n") : c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
    return q + '"';
}

std::string fixed(double value, int decimals) {
    char text[64];
    const auto printed = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, printed.ptr);
}

void draw_picture(const std::string& gnuplot, const std::string& script, PictureFormat format,
                  OutputFile& output, const std::string& out) {
    // A gnuplot that ends early leaves its script's pipe without a reader: the write fails
    // with EPIPE instead of killing this process, and gnuplot's exit status tells why.
    std::signal(SIGPIPE, SIG_IGN);
    // Under an inherited SIGCHLD ignored, the system would reap gnuplot unseen and how it
    // ended, a failure too, would be lost.
    std::signal(SIGCHLD, SIG_DFL);
    Gnuplot drawer(gnuplot);
    std::string tail, errors;
    std::size_t sent = 0;
    pollfd ends[] = {{drawer.script.fd(), POLLOUT, 0},
                     {drawer.picture.fd(), POLLIN, 0},
                     {drawer.errors.fd(), POLLIN, 0}};
    char buffer[1 << 16];
    while (ends[0].fd >= 0 || ends[1].fd >= 0 || ends[2].fd >= 0) {
        if (poll(ends, 3, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("cannot run gnuplot: ") + std::strerror(errno));
        }
        if (ends[0].revents != 0) {
            const ssize_t n = ::write(ends[0].fd, script.data() + sent, script.size() - sent);
            if (n > 0) sent += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || sent == script.size()) {
                drawer.script.close();
                ends[0].fd = -1;
            }
        }
        for (int k = 1; k < 3; ++k) {
            if (ends[k].revents == 0) continue;
            const ssize_t n = ::read(ends[k].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (k == 1 ? drawer.picture : drawer.errors).close();
                ends[k].fd = -1;
                continue;
            }
            std::string& kept = k == 1 ? tail : errors;
            kept.append(buffer, static_cast<std::size_t>(n));
            if (kept.size() > 4096) kept.erase(0, kept.size() - 4096);
            if (k == 1) output.write(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }
    const int status = drawer.wait();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // gnuplot's last words, or how it ended.
        while (!errors.empty() && std::strchr(" \t\r\n", errors.back()) != nullptr) errors.pop_back();
        std::string last = errors.substr(errors.rfind('\n') + 1);
        last.erase(0, last.find_first_not_of(" \t"));
        if (last.empty())
            last = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "killed by signal " + std::to_string(WTERMSIG(status));
        throw std::runtime_error("gnuplot could not draw " + out + ": " + last);
    }
    if (!whole(format, tail))
        throw std::runtime_error("gnuplot could not draw " + out + ": the picture is incomplete");
}
