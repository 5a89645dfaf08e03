// join_files OUTPUT INPUT...: joins the inputs that are there end to end into
// OUTPUT with the kiv_parse_bin module, which removes each once OUTPUT holds
// it. A failure comes back as a value: an input that is missing is reported
// and left out, and the program goes on with the rest. It prints nothing on
// standard output, and checks that the module changed none of its signals.
#include <kiv_parse_bin.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>
#if !defined(_WIN32)
#include <signal.h>
#endif

namespace {

#if !defined(_WIN32)
// What the process does with the signals a file tool might touch, and which it blocks.
struct SignalState {
  sigset_t blocked;
  void (*handlers[4])(int);
};

SignalState signal_state() {
  SignalState state{};
  sigprocmask(SIG_BLOCK, nullptr, &state.blocked);
  const int signals[] = {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM};
  for (int i = 0; i < 4; ++i) {
    struct sigaction now {};
    sigaction(signals[i], nullptr, &now);
    state.handlers[i] = now.sa_handler;
  }
  return state;
}

bool same(const SignalState& a, const SignalState& b) {
  for (int s : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&a.blocked, s) != sigismember(&b.blocked, s)) return false;
  }
  return std::memcmp(a.handlers, b.handlers, sizeof a.handlers) == 0;
}
#endif

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: join_files OUTPUT INPUT...\n");
    return 2;
  }
#if !defined(_WIN32)
  const SignalState before = signal_state();
#endif
  std::vector<std::filesystem::path> inputs(argv + 2, argv + argc);
  kiv::Result r;
  while ((r = kiv::merge(inputs, argv[1])) && r.reason == kiv::Failure::cannot_open) {
    std::fprintf(stderr, "join_files: left out: %s\n", r.message.c_str());
    std::erase(inputs, r.file);
  }
  if (r) std::fprintf(stderr, "join_files: %s\n", r.message.c_str());
#if !defined(_WIN32)
  if (!same(before, signal_state())) {
    std::fprintf(stderr, "join_files: the module changed this program's signals\n");
    return 3;
  }
#endif
  return r ? 1 : 0;
}
