// What the command's operations print, through C stdio: the fixed lines,
// which scripts match byte for byte, written where they are said; the tool's
// own "kiv_parse_bin: ..." lines on standard error; the progress line on a
// terminal. A line that can't be written to standard output stops the run
// there, before anything is removed; only the end line comes after the removal.
#pragma once

#include <chrono>
#include <cstdio>

#include "kiv_parse_bin.h"

// The progress line a run draws on standard error where it is a terminal,
// once it has run for a second.
struct Progress {
  bool counting = false;
  std::chrono::steady_clock::time_point started, drawn;
  int shown_width = 0;  // of the line on the screen; 0 where none is
};
// Callbacks that print a run's lines and draw its progress.
kiv::Callbacks console_callbacks(Progress& progress);
// Erases the progress line where one is shown.
void clear(Progress& progress);

// Prints a line on standard output and makes sure it left the tool; where it
// did not, ends the process with "kiv_parse_bin: <failure>: <reason>".
void print(const char* failure, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A fixed failure line, as it is (each carries its own line ending), standard
// output flushed first so both streams in one file keep their order; status 1.
[[noreturn]] void stop(std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The tool's own lines on standard error: "kiv_parse_bin: <message>", status 1
// (as err(3)'s errx); warn goes on.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The line for a failure the core reported: its message, or for a console
// line that failed, which.
[[noreturn]] void fail_with(const kiv::Result& r);

// The command's body step: as remove_header_info_from_file, with removing
// called right before the image is removed (the command holds its signals there).
void remove_header_info_from_file(SplitFile_info& info, bool (*removing)());
