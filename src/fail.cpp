#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "progress.h"

namespace {

int console_error = 0;  // why the first console line failed; 0 while none has

}  // namespace

void fail(std::FILE* stream, const char* format, ...) {
  progress_clear();
  if (stream != stdout) std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::exit(1);
}

void fail_line(const char* line) {
  progress_clear();
  std::puts(line);
  std::exit(1);
}

void fail_errno(const char* action, const char* path) {
  fail(stderr, "kiv_parse_bin: %s %s: %s\n", action, path, std::strerror(errno));
}

void note_printed(int result) {
  if (result < 0 && console_error == 0) console_error = errno;
}

void check_console(const char* done) {
  if (std::fflush(stdout) != 0) note_printed(-1);
  if (console_error == 0 && std::ferror(stdout) != 0) console_error = EIO;
  if (console_error != 0) {
    fail(stderr, "kiv_parse_bin: %s, but standard output failed: %s\n", done,
         std::strerror(console_error));
  }
}
