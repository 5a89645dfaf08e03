#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "progress.h"

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
