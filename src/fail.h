// How the tool stops: one message, then exit status 1. Nothing written before
// is removed, and nothing is logged beyond the message. Also what the console
// told the tool about its own lines.
#pragma once

#include <cstdio>

// Prints "kiv_parse_bin: <message>" and a line feed on standard error and ends
// the process with status 1, as err(3)'s errx does. Standard output is flushed
// first, so lines keep the order they were printed in where both streams reach one file.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process with "kiv_parse_bin: <action> <path>: <reason from errno>".
[[noreturn]] void fail_errno(const char* action, const char* path);

// Prints "kiv_parse_bin: <message>" and a line feed on standard error and goes on.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The console's fixed failure lines, which scripts match byte for byte: printed
// exactly as given (each carries its own line ending) on stream; then status 1.
[[noreturn]] void fail_fixed(std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Prints line and a line feed on standard output and ends the process with status 1.
[[noreturn]] void fail_line(const char* line);

// Takes what printf or puts returned for a console line, keeping the reason
// of the first line that could not be written.
void note_printed(int result);

// Ends the process unless every console line reached standard output
// ("kiv_parse_bin: <done>, but standard output failed: <reason>").
void check_console(const char* done);
