#include "console.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

// Prints on standard output and makes sure the line left the tool: a line a
// script waits for and never gets must not let the run go on to remove
// anything. Returns the errno of a failure, or 0.
int print_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
int print_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  int error = std::vprintf(format, args) < 0 ? errno : 0;
  va_end(args);
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  if (error == 0 && std::ferror(stdout) != 0) error = EIO;
  return error;
}

void check_out(int error) {
  if (error != 0) fail("cannot write standard output: %s", std::strerror(error));
}

// A fixed failure line: printed as it is (each carries its own line ending),
// standard output flushed first where the line goes to standard error, so
// both streams in one file keep their order; then status 1.
[[noreturn]] void stop_with(std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void stop_with(std::FILE* stream, const char* format, ...) {
  if (stream != stdout) std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::exit(1);
}

void say_own(const char* format, va_list args) {
  std::fflush(stdout);
  std::fputs("kiv_parse_bin: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

// Writes bytes as a person reads them: "812 B", "3.4 MiB", "1.0 GiB".
void human(char* out, std::size_t size, double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  for (; bytes >= 1024 && unit < 4; ++unit) bytes /= 1024;
  std::snprintf(out, size, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

void draw(Progress& p, std::uint64_t done_bytes, std::uint64_t total_bytes, const char* note) {
  const std::uint64_t now = sys::monotonic_ms();
  char done[16], total[16], rate[16], line[96];
  human(done, sizeof done, static_cast<double>(done_bytes));
  human(total, sizeof total, static_cast<double>(total_bytes));
  human(rate, sizeof rate,
        static_cast<double>(done_bytes) * 1000 /
            static_cast<double>(std::max<std::uint64_t>(now - p.started_ms, 1)));
  auto percent = static_cast<unsigned>(total_bytes == 0 ? 100 : done_bytes * 100 / total_bytes);
  int width =
      std::snprintf(line, sizeof line, "%s of %s (%u%%), %s/s%s", done, total, percent, rate, note);
  // Spaces cover what is left of a longer line before it.
  std::fprintf(stderr, "\r%s%*s", line, std::max(p.shown_width - width, 0), "");
  p.shown_width = width;
  p.drawn_ms = now;
}

}  // namespace

kiv::Callbacks console_callbacks(Progress& progress) {
  progress = Progress{sys::is_terminal(2), sys::monotonic_ms(), 0, 0};
  kiv::Callbacks callbacks;
  callbacks.line = [&progress](kiv::Stream stream, std::string_view text) {
    clear(progress);
    if (stream == kiv::Stream::err) {
      std::fflush(stdout);
      std::fwrite(text.data(), 1, text.size(), stderr);
      return std::error_code{};
    }
    return std::error_code(print_out("%.*s", static_cast<int>(text.size()), text.data()),
                           std::generic_category());
  };
  callbacks.progress = [&progress](std::uint64_t done, std::uint64_t total, bool syncing) {
    constexpr std::uint64_t quiet_ms = 1000, redraw_ms = 250;  // short runs show nothing
    const std::uint64_t now = sys::monotonic_ms();
    if (progress.counting && now - progress.started_ms >= quiet_ms &&
        (syncing || now - progress.drawn_ms >= redraw_ms))
      draw(progress, done, total, syncing ? ", syncing" : "");
  };
  return callbacks;
}

void clear(Progress& progress) {
  if (progress.shown_width > 0) std::fprintf(stderr, "\r%*s\r", progress.shown_width, "");
  progress.shown_width = 0;
}

void say_arguments(const char* const argv[]) {
  check_out(print_out("input header addr is %s,input file:%s,output file1:%s output file2:%s\r\n",
                      argv[1], argv[2], argv[3], argv[4]));
}

void say_header_size(std::int32_t header_size) {
  check_out(print_out("Header File Size:0x%.04x\r\n", static_cast<unsigned>(header_size)));
}

void say_begin() { check_out(print_out("%s", "begin create header file\r\n")); }

void say_end() {
  const int error = print_out("%s", "End create header file\r\n");
  if (error != 0) fail("split complete, but standard output failed: %s", std::strerror(error));
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

void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say_own(format, args);
  va_end(args);
}

void fail_with(const kiv::Result& r) {
  if (r.reason == kiv::Failure::console)
    fail("cannot write standard output: %s", r.error.message().c_str());
  fail("%s", r.message.c_str());
}
