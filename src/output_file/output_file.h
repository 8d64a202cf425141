#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// An output named on a command line, written whole or not at all.
//   "-", /dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link resolving to one of them:
//     written through that open descriptor of this process, at its current position.
//   a FIFO, a device, or a link to one: opened by that name and written through.
//   a regular file, a link to one, or a new name: written to a temporary file
//     ".PROGRAM.XXXXXX" beside it (beside the link's target, so a link stays a link),
//     flushed to its disk, given the replaced file's mode (a new one 0666 less the umask)
//     and renamed onto it.
// Refused: a directory, and the very file (regular or FIFO) open on descriptor `input`,
// compared by device and inode of the open descriptors, not by name.
// Until commit() what goes through a descriptor or a device is held in memory, so that it
// gets nothing unless it gets all; more than `most_held` bytes of it are refused. Failures
// throw std::runtime_error naming the output and the system's reason, "out.csv: cannot
// write it: No space left on device". The temporary file is removed when the object is
// destroyed uncommitted, and on INT, TERM or HUP (INT and TERM on Windows), after which the
// process dies by that signal; a process writes one such output at a time. On POSIX
// systems SIGXFSZ is ignored from construction on, so that a write past the file size
// limit (ulimit -f) fails as "File too large".
class OutputFile {
public:
    // `input` is the descriptor of what the program reads, or -1.
    OutputFile(const std::string& name, const std::string& program, int input);
    // Far more than any table (800 steps are about 100 kB) or picture (a few MB): what
    // writes more to a descriptor or device has run away.
    static constexpr std::size_t most_held = std::size_t{256} << 20;

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::string_view bytes);
    // Puts the output in place; after it the object writes nothing more.
    void commit();

private:
    [[noreturn]] void fail(const char* what, int error) const;

    // The temporary file, closed and removed unless renamed into place.
    struct Partial {
        int fd = -1;
        std::string path;
        Partial() = default;
        Partial(const Partial&) = delete;
        Partial& operator=(const Partial&) = delete;
        ~Partial();
    };

    std::string name_;
    int descriptor_ = -1;   // written through, not ours to close
    std::string device_;    // opened by name at commit() and written through
    std::string final_;     // the file the temporary one replaces
    unsigned mode_ = 0;     // its permissions and special bits, or 0666 less the umask (POSIX)
    Partial partial_;
    std::string pending_;   // held until commit() for a descriptor or a device
};

// Keeps descriptors 0, 1 and 2 taken, so that no file the program opens lands on one of
// them: each that is closed gets /dev/null, opened the other way round (standard input for
// writing, standard output and error for reading), so that reading a closed standard input
// or writing to a closed standard output or error still fails with EBADF, as it would have.
// Call first in main. Prints "PROGRAM: cannot open /dev/null: REASON" and returns false if
// it cannot. Does nothing on Windows.
bool hold_standard_descriptors(const char* program);

#ifndef _WIN32
// Runs `start`, which starts a program in a process group of its own and returns its pid,
// with INT, TERM and HUP held back until that pid is recorded: from then on those signals
// end the group too (TERM, then KILL if it has not ended 2 s later) and wait for the
// program before the temporary file is removed. One program at a time; child_ended()
// forgets it once it has been waited for.
int start_child(const std::function<int()>& start);
void child_ended();
#endif
