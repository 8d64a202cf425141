#pragma once

#include <string_view>

// Standard output for a program whose output is data: lines end with a line feed alone on
// every platform, and a failed write is reported, never passed off as a whole output.

// Puts standard output in binary mode on Windows, where the C runtime would otherwise turn
// each line feed into CR LF. Call before the first write.
void binary_standard_output();

// Makes a closed pipe a write error (EPIPE), reported like any other, rather than a silent
// death by SIGPIPE on POSIX systems.
void closed_pipe_is_write_error();

// Writes `bytes` to standard output, checked at once. Returns false if this write or an
// earlier one through here failed; `error` then holds the reason (errno) of the first
// failure, which a later flush could no longer tell.
bool write_standard_output(std::string_view bytes, int& error);

// Flushes standard output; if any write to it failed (full disk, closed descriptor, I/O
// error), prints "PROGRAM: cannot write WHAT: REASON" on standard error and returns false.
// `error`, if not 0, is a failure already seen and its reason.
bool finish_standard_output(const char* program, const char* what, int error = 0);
