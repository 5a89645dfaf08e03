// The test-only fault table (see src/faults.h). Built only into the tests'
// own copies of the tool, never into what is released. It comes from the
// environment variable KIV_FAULTS, a comma-separated list of
//   CALL:ERRNO    every call of CALL fails with that errno (EPERM, ENOSPC, ...)
//   CALL#N:ERRNO  only its Nth call does
//   CALL[#N]:skip the call answers success (0) without being made
//   CALL[#N]:stop the process stops (SIGSTOP) before the call, which is then made
//   kill:N        the Nth call made through SYS, whichever it is, kills the process
#include "faults.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace faults {
namespace {

struct Entry {
  std::string call;
  long nth;   // 0: every call
  int error;  // the errno to fail with; 0 with skip or stop
  bool skip, stop;
  long seen;  // calls of this name so far
};

struct Table {
  std::vector<Entry> entries;
  long kill_at = 0;  // 0: never
  long calls = 0;
};

int errno_named(const std::string& name) {
  static const struct {
    const char* name;
    int value;
  } known[] = {{"EPERM", EPERM},   {"ENOENT", ENOENT},   {"EIO", EIO},
               {"EBADF", EBADF},   {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},
               {"EACCES", EACCES}, {"EBUSY", EBUSY},     {"EEXIST", EEXIST},
               {"EXDEV", EXDEV},   {"ENODEV", ENODEV},   {"EINVAL", EINVAL},
               {"ENFILE", ENFILE}, {"EMFILE", EMFILE},   {"ENOTTY", ENOTTY},
               {"ENOSPC", ENOSPC}, {"EROFS", EROFS},     {"ENOSYS", ENOSYS},
               {"EINTR", EINTR},   {"ENOTSUP", ENOTSUP}, {"EOPNOTSUPP", EOPNOTSUPP}};
  for (const auto& k : known) {
    if (name == k.name) return k.value;
  }
  return static_cast<int>(std::strtol(name.c_str(), nullptr, 10));
}

Table read_table() {
  Table table;
  const char* text = std::getenv("KIV_FAULTS");  // NOLINT(concurrency-mt-unsafe): one thread
  std::string list = text == nullptr ? "" : text;
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(at, end - at);
    at = end + 1;
    const std::size_t colon = item.rfind(':');
    if (colon == std::string::npos) continue;
    std::string call = item.substr(0, colon);
    const std::string action = item.substr(colon + 1);
    if (call == "kill") {
      table.kill_at = std::strtol(action.c_str(), nullptr, 10);
      continue;
    }
    long nth = 0;
    if (const std::size_t hash = call.find('#'); hash != std::string::npos) {
      nth = std::strtol(call.c_str() + hash + 1, nullptr, 10);
      call.resize(hash);
    }
    table.entries.push_back(Entry{call, nth,
                                  action == "skip" || action == "stop" ? 0 : errno_named(action),
                                  action == "skip", action == "stop", 0});
  }
  return table;
}

[[noreturn]] void die() {
#if defined(_WIN32)
  std::_Exit(128 + 9);
#else
  kill(getpid(), SIGKILL);
  std::_Exit(128 + 9);
#endif
}

}  // namespace

Action at(const char* call) {
  static Table table = read_table();
  if (++table.calls == table.kill_at) die();
  Action action = Action::make;
  for (Entry& e : table.entries) {
    if (e.call != call) continue;
    ++e.seen;
    if (e.nth != 0 && e.seen != e.nth) continue;
#if !defined(_WIN32)
    if (e.stop) raise(SIGSTOP);
#endif
    if (e.skip) action = Action::skip;
    if (e.error != 0) {
      errno = e.error;
      action = Action::fail;
    }
  }
  return action;
}

}  // namespace faults
