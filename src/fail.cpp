#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "progress.h"

namespace {

int console_error = 0;  // why the first console line failed; 0 while none has

void say(std::FILE* stream, const char* prefix, const char* format, va_list args,
         const char* suffix) {
  progress_clear();
  if (stream != stdout) std::fflush(stdout);
  std::fputs(prefix, stream);
  std::vfprintf(stream, format, args);
  std::fputs(suffix, stream);
}

}  // namespace

void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(stderr, "kiv_parse_bin: ", format, args, "\n");
  va_end(args);
  std::exit(1);
}

void fail_errno(const char* action, const char* path) {
  fail("%s %s: %s", action, path, std::strerror(errno));
}

void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(stderr, "kiv_parse_bin: ", format, args, "\n");
  va_end(args);
}

void fail_fixed(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  say(stream, "", format, args, "");
  va_end(args);
  std::exit(1);
}

void fail_line(const char* line) {
  progress_clear();
  std::puts(line);
  std::exit(1);
}

void note_printed(int result) {
  if (result < 0 && console_error == 0) console_error = errno;
}

void check_console(const char* done) {
  if (std::fflush(stdout) != 0) note_printed(-1);
  if (console_error == 0 && std::ferror(stdout) != 0) console_error = EIO;
  if (console_error != 0)
    fail("%s, but standard output failed: %s", done, std::strerror(console_error));
}
