// The system calls a test can make fail, skip or stop at, as SQLite's
// overridable system calls: the seam makes each such call through
// SYS(call, arguments...). Only a build with KIV_FAULTS=1, which the tests
// make and nothing releases, reads the table (tests/faults.cpp). The seam
// knows nothing of the tool's order of steps; a test that faults "the second
// fdatasync" knows it.
#pragma once

#include <cerrno>

#if KIV_FAULTS
namespace faults {

// What the table says of the call about to be made.
enum class Action { make, fail, skip };
// Counts the call, stops or kills the process where the table says so, and
// returns what to do with it (errno set for a failure).
Action at(const char* call);

template <class Call>
auto through(const char* name, Call call) -> decltype(call()) {
  const Action action = at(name);
  if (action == Action::make) return call();
  return action == Action::fail ? -1 : 0;
}

}  // namespace faults
#define SYS(call, ...) faults::through(#call, [&] { return call(__VA_ARGS__); })
#else
#define SYS(call, ...) call(__VA_ARGS__)
#endif

// Makes the call again while a signal interrupts it (-1, EINTR).
template <class Call>
auto retried(Call call) -> decltype(call()) {
  decltype(call()) rc;
  do rc = call();
  while (rc < 0 && errno == EINTR);
  return rc;
}
