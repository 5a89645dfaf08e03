// Running programs and test code in child processes with fork and exec.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "child.h"

const char* const null_device = "/dev/null";
const char* const full_device = access("/dev/full", W_OK) == 0 ? "/dev/full" : "";  // not on macOS

std::string console(std::string text) { return text; }

bool make_fifo(const fs::path& path) { return mkfifo(path.c_str(), 0600) == 0; }

void exec_program(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  static const char* const emulator = TARGET_EMULATOR;
  if (*emulator != '\0') argv.push_back(const_cast<char*>(emulator));
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

pid_t start_child(const std::function<void()>& body, const fs::path& dir, bool one_stream) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  std::fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = one_stream ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.c_str()) < 0) _exit(127);
    body();
    std::exit(0);
  }
  return pid;
}

Outcome wait_child(pid_t pid, const fs::path& dir, bool one_stream) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out),
              one_stream ? std::string{} : read_file(err)};
  fs::remove(out);
  fs::remove(err);
  return run;
}

Outcome run_child(const std::function<void()>& body, const fs::path& dir, bool one_stream) {
  return wait_child(start_child(body, dir, one_stream), dir, one_stream);
}

void exec_tool(const std::vector<std::string>& args) { exec_program(KIV_PARSE_BIN_EXE, args); }

void exec_faulted(const std::string& faults, const std::vector<std::string>& args) {
  setenv("KIV_FAULTS", faults.c_str(), 1);
  exec_program(KIV_PARSE_BIN_FAULTS_EXE, args);
}

bool stops(pid_t pid) {
  siginfo_t info{};
  // Not reaped: wait_child collects it after.
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) return false;
  return info.si_code == CLD_STOPPED;
}

Outcome run_program(const std::string& exe, const std::vector<std::string>& args,
                    const fs::path& dir, bool one_stream) {
  return run_child([&] { exec_program(exe, args); }, dir, one_stream);
}
