#include "output_file/output_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <filesystem>
#include <random>
#include <system_error>

#include <io.h>
#include <share.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

// What a signal handler must undo: the temporary file being written, and (POSIX) the
// process group of a program this process started. Changed only while those signals are
// held back, so the handler never sees it half-changed.
struct Cleanup {
    PathChar partial[4096];
    int child;
    bool handled;
};
Cleanup cleanup{};

#ifdef _WIN32
const int cleanup_signals[] = {SIGINT, SIGTERM};

// Windows runs a handler on a thread of its own; there is nothing to hold back.
struct SignalsHeld {
    SignalsHeld() {}
    ~SignalsHeld() {}
};

extern "C" void on_signal(int signal) {
    if (cleanup.partial[0] != 0) _wunlink(cleanup.partial);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void install_handlers() {
    for (int s : cleanup_signals) std::signal(s, on_signal);
}
#else
const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : cleanup_signals) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t before_;
};

// Only async-signal-safe calls. The signal is raised again once the handler returns, with
// its default action: the process dies by it.
extern "C" void on_signal(int signal) {
    if (cleanup.child > 0) {
        kill(-cleanup.child, SIGTERM);
        // poll with no descriptors waits 10 ms.
        for (int i = 0; i < 200 && waitpid(cleanup.child, nullptr, WNOHANG) == 0; ++i)
            poll(nullptr, 0, 10);
        if (kill(-cleanup.child, SIGKILL) == 0) waitpid(cleanup.child, nullptr, 0);
    }
    if (cleanup.partial[0] != 0) unlink(cleanup.partial);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// A signal the process was started ignoring (as under nohup) stays ignored.
void install_handlers() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int s : cleanup_signals) sigaddset(&action.sa_mask, s);
    for (int s : cleanup_signals) {
        struct sigaction before {};
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(s, &action, nullptr);
    }
}
#endif

// Called with the signals held back.
void handle_signals() {
    if (cleanup.handled) return;
    install_handlers();
    cleanup.handled = true;
}

std::string reason(int error) { return std::strerror(error); }

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), 1u << 30);
#ifdef _WIN32
        const long written = _write(fd, bytes.data(), static_cast<unsigned>(chunk));
#else
        const long written = static_cast<long>(::write(fd, bytes.data(), chunk));
#endif
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// A file as the system knows it, whatever its names.
struct FileId {
    unsigned long long device, index;
    bool regular_or_fifo;
    bool operator==(const FileId& o) const { return device == o.device && index == o.index; }
};

#ifdef _WIN32
std::optional<FileId> id_of_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                  GetFileType(handle) == FILE_TYPE_DISK};
}

std::optional<FileId> id_of_fd(int fd) {
    return fd < 0 ? std::nullopt : id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

std::optional<FileId> id_of_path(const std::string& path) {
    HANDLE handle = CreateFileW(std::filesystem::path(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const std::optional<FileId> id = id_of_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
}

std::string windows_reason(DWORD error) {
    return std::system_category().message(static_cast<int>(error));
}
#else
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

FileId id_of(const struct stat& st) {
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)};
}

std::optional<FileId> id_of_fd(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return std::nullopt;
    return id_of(st);
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a directory's real path is this process's /proc/PID/fd or a thread's
// /proc/PID/task/TID/fd, where each entry is one of the process's open descriptors.
bool is_own_fd_directory(std::string_view real) {
    const std::string own = "/proc/" + std::to_string(getpid()) + "/";
    if (real.substr(0, own.size()) != own) return false;
    real.remove_prefix(own.size());
    if (real == "fd") return true;
    if (real.substr(0, 5) != "task/" || real.size() < 4 || real.substr(real.size() - 3) != "/fd")
        return false;
    return all_digits(real.substr(5, real.size() - 8));
}

// Where a name leads, following its links one at a time: to one of this process's open
// descriptors (as /dev/stdout, /dev/fd/N, /proc/self/fd/N do), or to a path that is no
// link, which may not exist yet.
struct Destination {
    int descriptor;
    std::string path;
};

Destination follow(const std::string& name) {
    if (name == "-") return {1, ""};
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        const std::string directory = directory_of(path);
        const std::string base = path.substr(path.rfind('/') + 1);
        char real[PATH_MAX];
        if (realpath(directory.c_str(), real) != nullptr && is_own_fd_directory(real) &&
            all_digits(base))
            return {std::stoi(base), ""};
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {-1, path};
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0) return {-1, path};
        target[length] = '\0';
        path = target[0] == '/' ? std::string(target) : directory + "/" + target;
    }
    throw std::runtime_error(name + ": cannot follow its link: " + reason(ELOOP));
}
#endif

// Takes the temporary file's name into the cleanup record; false if it does not fit.
bool record_partial(const std::basic_string<PathChar>& path) {
    if (path.size() >= sizeof cleanup.partial / sizeof(PathChar)) return false;
    std::copy(path.begin(), path.end(), cleanup.partial);
    cleanup.partial[path.size()] = 0;
    handle_signals();
    return true;
}

}  // namespace

bool hold_standard_descriptors(const char* program) {
#ifndef _WIN32
    // open() takes the lowest free descriptor: by the time `fd` is looked at, those below
    // it are taken.
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) < 0) {
            std::fprintf(stderr, "%s: cannot open /dev/null: %s\n", program, std::strerror(errno));
            return false;
        }
    }
#else
    (void)program;
#endif
    return true;
}

#ifndef _WIN32
int start_child(const std::function<int()>& start) {
    SignalsHeld held;
    cleanup.child = start();
    handle_signals();
    return cleanup.child;
}

void child_ended() {
    SignalsHeld held;
    cleanup.child = 0;
}
#endif

void OutputFile::fail(const char* what, int error) const {
    throw std::runtime_error(name_ + ": " + what + ": " + reason(error));
}

OutputFile::OutputFile(const std::string& name, const std::string& program, int input)
    : name_(name) {
    if (name.empty()) throw std::runtime_error("an empty name is no output file");
    const std::optional<FileId> input_id = id_of_fd(input);
    const auto refuse_input = [&](const std::optional<FileId>& id) {
        if (input_id && input_id->regular_or_fifo && id && *id == *input_id)
            throw std::runtime_error(name + ": is the input itself, left as it is");
    };
#ifdef _WIN32
    if (name == "-") {
        refuse_input(id_of_fd(1));
        _setmode(1, _O_BINARY);
        descriptor_ = 1;
        return;
    }
    final_ = name;
    const std::filesystem::path final_path(final_);
    struct _stat64 st;
    if (_wstat64(final_path.c_str(), &st) == 0) {
        if ((st.st_mode & _S_IFMT) == _S_IFDIR) throw std::runtime_error(name + ": is a directory");
        refuse_input(id_of_path(final_));
        if ((st.st_mode & _S_IFMT) != _S_IFREG) {
            device_ = name;
            final_.clear();
            return;
        }
    }
    // "DIR/.PROGRAM.XXXXXX", made anew until the name is free.
    std::random_device random;
    const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100 && partial_.fd < 0; ++attempt) {
        std::string suffix;
        for (int i = 0; i < 6; ++i) suffix += letters[random() % letters.size()];
        const std::filesystem::path partial =
            final_path.parent_path() / std::filesystem::path("." + program + "." + suffix);
        SignalsHeld held;
        const errno_t error = _wsopen_s(&partial_.fd, partial.c_str(),
                                        _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                                        _S_IREAD | _S_IWRITE);
        if (error == EEXIST) continue;
        if (error != 0) fail("cannot write it", error);
        partial_.path = partial.string();
        if (!record_partial(partial.native())) fail("cannot write it", ENAMETOOLONG);
    }
    if (partial_.fd < 0) fail("cannot write it", EEXIST);
#else
    // A file grown past the process's size limit (ulimit -f) fails its write with EFBIG,
    // reported like a full disk, rather than killing the process by SIGXFSZ with its
    // temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    const Destination destination = follow(name);
    struct stat st;
    if (destination.descriptor >= 0) {
        if (fstat(destination.descriptor, &st) != 0) fail("cannot write it", errno);
        refuse_input(id_of(st));
        descriptor_ = destination.descriptor;
        return;
    }
    final_ = destination.path;
    if (stat(final_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw std::runtime_error(name + ": is a directory");
        refuse_input(id_of(st));
        if (!S_ISREG(st.st_mode)) {
            device_ = name;
            final_.clear();
            return;
        }
        if (access(final_.c_str(), W_OK) != 0) fail("cannot write it", errno);
        mode_ = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        fail("cannot write it", errno);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode_ = 0666 & ~mask;
    }
    std::string partial = directory_of(final_) + "/." + program + ".XXXXXX";
    {
        SignalsHeld held;
        partial_.fd = mkstemp(partial.data());
        if (partial_.fd < 0) fail("cannot write it", errno);
        partial_.path = partial;
        if (!record_partial(partial)) fail("cannot write it", ENAMETOOLONG);
    }
#endif
}

OutputFile::Partial::~Partial() {
    SignalsHeld held;
    if (fd >= 0) {
#ifdef _WIN32
        _close(fd);
#else
        ::close(fd);
#endif
    }
    if (!path.empty()) {
#ifdef _WIN32
        _wunlink(std::filesystem::path(path).c_str());
#else
        unlink(path.c_str());
#endif
    }
    cleanup.partial[0] = 0;
}

void OutputFile::write(std::string_view bytes) {
    if (partial_.fd < 0) {
        if (bytes.size() > most_held - pending_.size())
            throw std::runtime_error(name_ + ": cannot write it: more than " + std::to_string(most_held >> 20) +
                                     " MiB to hold until it is whole, more than any table or picture");
        pending_.append(bytes);
    } else if (!write_all(partial_.fd, bytes)) {
        fail("cannot write it", errno);
    }
}

void OutputFile::commit() {
    if (partial_.fd >= 0) {
        const int fd = partial_.fd;
        partial_.fd = -1;
#ifdef _WIN32
        if (_commit(fd) != 0 || _close(fd) != 0) fail("cannot write it", errno);
        if (!MoveFileExW(std::filesystem::path(partial_.path).c_str(),
                         std::filesystem::path(final_).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw std::runtime_error(name_ + ": cannot write it: " + windows_reason(GetLastError()));
#else
        // The mode is given after the last write, which would clear the set-user-ID bit (and
        // set-group-ID with group execution) for a process without the privilege to keep them.
        // The data reaches the disk before the name does: a crash leaves the old file or
        // the new one, never an empty one.
        const int flushed = fchmod(fd, mode_) != 0 ? errno : fsync(fd) == 0 ? 0 : errno;
        if (::close(fd) != 0 && flushed == 0) fail("cannot write it", errno);
        if (flushed != 0) fail("cannot write it", flushed);
        if (rename(partial_.path.c_str(), final_.c_str()) != 0) fail("cannot write it", errno);
#endif
        SignalsHeld held;
        partial_.path.clear();
        cleanup.partial[0] = 0;
        return;
    }
    int fd = descriptor_;
    if (fd < 0) {
#ifdef _WIN32
        fd = _wopen(std::filesystem::path(device_).c_str(), _O_WRONLY | _O_BINARY);
#else
        fd = ::open(device_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
#endif
        if (fd < 0) fail("cannot write it", errno);
    }
    const int written = write_all(fd, pending_) ? 0 : errno;
    if (fd != descriptor_) {
#ifdef _WIN32
        const int closed = _close(fd);
#else
        const int closed = ::close(fd);
#endif
        if (closed != 0 && written == 0) fail("cannot write it", errno);
    }
    if (written != 0) fail("cannot write it", written);
    pending_.clear();
}
