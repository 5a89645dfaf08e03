#include "console.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// Ends a write to standard output (error: its errno, or 0) by making sure it
// left the tool: a line a script waits for and never gets must not let the
// run go on to remove anything. Returns the errno of a failure, or 0.
int flushed(int error) {
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  if (error == 0 && std::ferror(stdout) != 0) error = EIO;
  return error;
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
  const Clock::time_point now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - p.started).count();
  char done[16], total[16], rate[16], line[96];
  human(done, sizeof done, static_cast<double>(done_bytes));
  human(total, sizeof total, static_cast<double>(total_bytes));
  human(rate, sizeof rate, static_cast<double>(done_bytes) / std::max(seconds, 0.001));
  auto percent = static_cast<unsigned>(total_bytes == 0 ? 100 : done_bytes * 100 / total_bytes);
  int width =
      std::snprintf(line, sizeof line, "%s of %s (%u%%), %s/s%s", done, total, percent, rate, note);
  // Spaces cover what is left of a longer line before it.
  std::fprintf(stderr, "\r%s%*s", line, std::max(p.shown_width - width, 0), "");
  p.shown_width = width;
  p.drawn = now;
}

}  // namespace

kiv::Callbacks console_callbacks(Progress& progress) {
  progress = Progress{sys::is_terminal(2), Clock::now(), {}, 0};
  kiv::Callbacks callbacks;
  callbacks.line = [&progress](kiv::Stream stream, std::string_view text) {
    clear(progress);
    if (stream == kiv::Stream::err) {
      std::fflush(stdout);
      std::fwrite(text.data(), 1, text.size(), stderr);
      return std::error_code{};
    }
    errno = 0;
    const int error = std::fwrite(text.data(), 1, text.size(), stdout) < text.size() ? errno : 0;
    return std::error_code(flushed(error), std::generic_category());
  };
  callbacks.progress = [&progress](std::uint64_t done, std::uint64_t total, bool syncing) {
    using std::chrono::milliseconds;  // short runs show nothing
    const Clock::time_point now = Clock::now();
    if (progress.counting && now - progress.started >= milliseconds(1000) &&
        (syncing || now - progress.drawn >= milliseconds(250)))
      draw(progress, done, total, syncing ? ", syncing" : "");
  };
  return callbacks;
}

void clear(Progress& progress) {
  if (progress.shown_width > 0) std::fprintf(stderr, "\r%*s\r", progress.shown_width, "");
  progress.shown_width = 0;
}

void print(const char* failure, const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  const int error = flushed(std::vprintf(format, args) < 0 ? errno : 0);
  va_end(args);
  if (error != 0) fail("%s: %s", failure, std::strerror(error));
}

void stop(std::FILE* stream, const char* format, ...) {
  if (stream != stdout) std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::exit(1);
}

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
