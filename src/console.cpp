#include "console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "progress.h"

namespace {

// Prints on standard output and makes sure the line left the tool: a line a
// script waits for and never gets must not let the run go on to remove
// anything. after_removal names what is done already where only that is left.
void print_out(const char* after_removal, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void print_out(const char* after_removal, const char* format, ...) {
  progress_clear();
  va_list args;
  va_start(args, format);
  errno = 0;
  int error = std::vprintf(format, args) < 0 ? errno : 0;
  va_end(args);
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  if (error == 0 && std::ferror(stdout) != 0) error = EIO;
  if (error == 0) return;
  if (after_removal != nullptr)
    fail("%s, but standard output failed: %s", after_removal, std::strerror(error));
  fail("cannot write standard output: %s", std::strerror(error));
}

// A fixed failure line: printed as it is (each carries its own line ending),
// standard output flushed first where the line goes to standard error, so
// both streams in one file keep their order; then status 1.
[[noreturn]] void stop_with(std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void stop_with(std::FILE* stream, const char* format, ...) {
  progress_clear();
  if (stream != stdout) std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::exit(1);
}

void say_own(const char* format, va_list args) {
  progress_clear();
  std::fflush(stdout);
  std::fputs("kiv_parse_bin: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

}  // namespace

void ready_console() {
  static bool ready = false;
  if (!ready) sys::set_up_console();
  ready = true;
}

void say_arguments(const char* const argv[]) {
  print_out(nullptr, "input header addr is %s,input file:%s,output file1:%s output file2:%s\r\n",
            argv[1], argv[2], argv[3], argv[4]);
}

void say_header_size(std::int32_t header_size) {
  print_out(nullptr, "Header File Size:0x%.04x\r\n", static_cast<unsigned>(header_size));
}

void say_begin() { print_out(nullptr, "%s", "begin create header file\r\n"); }

void say_end() { print_out("split complete", "%s", "End create header file\r\n"); }

void say_merging(std::uint32_t index, const char* name) {
  print_out(nullptr, "merge file%d_name:%s\r\n", static_cast<int>(index), name);
}

void stop_argument_count(int argc) {
  stop_with(stdout, "[ERROR] input parameter num error, argc = %d\r\n", argc);
}

void stop_no_memory() { stop_with(stdout, "%s", "malloc fail\r\n"); }

void stop_image_unopened(const char* path) {
  stop_with(stderr, "I couldn't open the file \"%s\"\r\n", path);
}

void stop_header_unopened(const char* path) {
  stop_with(stderr, "I couldn't open the file \"%s\"\n", path);
}

void stop_body_unopened() { stop_with(stdout, "%s", "Open the file failure...\r\n"); }

void stop_output_uncreated(const char* path) {
  stop_with(stderr, "Couldn't create the output file \"%s\"\n", path);
}

void stop_input_unopened(const char* path) { stop_with(stdout, "fopen %s failed\r\n", path); }

void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say_own(format, args);
  va_end(args);
  std::exit(1);
}

void fail_errno(const char* action, const char* path) {
  fail("%s %s: %s", action, path, std::strerror(errno));
}

void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say_own(format, args);
  va_end(args);
}
