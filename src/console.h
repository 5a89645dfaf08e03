// What the tool prints, and how a run stops. The fixed lines, which scripts
// match byte for byte, have one function each here, their bytes beside it in
// console.cpp: the run's lines on standard output and the fixed failure
// lines. Everything else is one "kiv_parse_bin: ..." line on standard error,
// through fail or warn, where the fault is found. A line that can't be written
// to standard output stops the run there, before anything is removed; only
// the end line comes after the removal.
#pragma once

#include <cstdint>

// Readies the console streams once, whoever calls first (the command, or an
// operation a program calls): see sys::set_up_console.
void ready_console();

// The lines of a run, on standard output.
void say_arguments(const char* const argv[]);    // the echo of the four arguments
void say_header_size(std::int32_t header_size);  // "Header File Size:0x%.04x"
void say_begin();                                // "begin create header file"
void say_end();                                  // "End create header file", after the removal
void say_merging(std::uint32_t index, const char* name);  // "merge file%d_name:%s"

// The fixed failure lines; each ends the process with its status.
[[noreturn]] void stop_argument_count(int argc);           // standard output, status 1
[[noreturn]] void stop_no_memory();                        // "malloc fail", standard output
[[noreturn]] void stop_image_unopened(const char* path);   // standard error, "\r\n"
[[noreturn]] void stop_header_unopened(const char* path);  // standard error, "\n" alone
[[noreturn]] void stop_body_unopened();  // "Open the file failure...", standard output
[[noreturn]] void stop_output_uncreated(const char* path);  // merge's output, standard error
[[noreturn]] void stop_input_unopened(const char* path);    // "fopen %s failed", standard output

// The tool's own lines on standard error: "kiv_parse_bin: <message>".
// fail ends the process with status 1, as err(3)'s errx does; warn goes on.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "kiv_parse_bin: <action> <path>: <reason from errno>", status 1.
[[noreturn]] void fail_errno(const char* action, const char* path);
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
