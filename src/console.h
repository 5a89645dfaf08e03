// What the command's operations print, through C stdio: the fixed lines,
// which scripts match byte for byte, one function each (their bytes beside
// them in console.cpp); the tool's own "kiv_parse_bin: ..." lines on standard
// error; the progress line on a terminal. A line that can't be written to
// standard output stops the run there, before anything is removed; only the
// end line comes after the removal.
#pragma once

#include <cstdint>

#include "kiv_parse_bin.h"

// The progress line a run draws on standard error where it is a terminal,
// once it has run for a second.
struct Progress {
  bool counting = false;
  std::uint64_t started_ms = 0, drawn_ms = 0;
  int shown_width = 0;  // of the line on the screen; 0 where none is
};
// Callbacks that print a run's lines and draw its progress.
kiv::Callbacks console_callbacks(Progress& progress);
// Erases the progress line where one is shown.
void clear(Progress& progress);

// The lines of a run, on standard output.
void say_arguments(const char* const argv[]);    // the echo of the four arguments
void say_header_size(std::int32_t header_size);  // "Header File Size:0x%.04x"
void say_begin();                                // "begin create header file"
void say_end();                                  // "End create header file", after the removal

// The fixed failure lines; each ends the process with status 1.
[[noreturn]] void stop_argument_count(int argc);           // standard output
[[noreturn]] void stop_no_memory();                        // "malloc fail", standard output
[[noreturn]] void stop_image_unopened(const char* path);   // standard error, "\r\n"
[[noreturn]] void stop_header_unopened(const char* path);  // standard error, "\n" alone
[[noreturn]] void stop_body_unopened();  // "Open the file failure...", standard output
[[noreturn]] void stop_output_uncreated(const char* path);  // merge's output, standard error
[[noreturn]] void stop_input_unopened(const char* path);    // "fopen %s failed", standard output

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
