// Runs stopped, killed or signalled at a system call, through the tests' build
// of the tool and its fault table (src/faults.h), then checked for what a user
// would find: the inputs whole, or the outputs complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "child.h"

namespace {

// The run's inputs and outputs, as one command names them.
struct Command {
  const char* name;
  const char* program;  // built with the fault table
  std::vector<std::string> args, inputs, outputs;
  std::vector<std::string> whole;  // each output once the run is done
};

// NOLINTNEXTLINE(cert-err58-cpp): built before the tests run; a failure there ends them
const std::string kill_image = make_image(70000, 16, 0x1234);
// NOLINTNEXTLINE(cert-err58-cpp): built before the tests run; a failure there ends them
const Command commands[]{
    {"split",
     KIV_PARSE_BIN_FAULTS_EXE,
     {"16", "a.img", "h.bin", "b.bin"},
     {"a.img"},
     {"h.bin", "b.bin"},
     {kill_image.substr(0, 0x1234), kill_image.substr(0x1234)}},
    {"merge", MERGE_RUNNER_EXE, {"one", "two", "2", "out"}, {"one", "two"}, {"out"}, {kill_image}},
};

// The name a stopped run moved the input at name in dir aside to, or "".
std::string aside_of(const fs::path& dir, const std::string& name) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string entry_name = entry.path().filename().string();
    if (entry_name.starts_with("." + name + ".kiv_parse_bin-")) return entry_name;
  }
  return "";
}

// Kills the command at each system call the seam makes, in turn, until one
// run gets through. After each kill, every output is what it was or whole;
// then the same command runs again, and nothing may be lost: every input
// whole under its name or the name it was moved aside to (which the second
// run names), or its bytes in the outputs.
TEST(Faults, KilledAtAnyCallLosesNothing) {
  const std::string contents[] = {kill_image, kill_image.substr(0, 40000),
                                  kill_image.substr(40000)};
  for (const auto& c : commands) {
    TABLE_ROW(c.name);
    int whole = 0, aside = 0, done = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "killed at call " << n);
      ScratchDir dir;
      for (std::size_t i = 0; i < c.inputs.size(); ++i) {
        write_file(dir.path / c.inputs[i], contents[c.inputs.size() == 1 ? 0 : 1 + i]);
      }
      for (const auto& o : c.outputs) write_file(dir.path / o, "what " + o + " was");
      Outcome killed = run_child(
          [&] {
            setenv("KIV_FAULTS", ("kill:" + std::to_string(n)).c_str(), 1);
            exec_program(c.program, c.args);
          },
          dir.path);
      for (std::size_t i = 0; i < c.outputs.size(); ++i) {
        const std::string now = read_file(dir.path / c.outputs[i]);
        EXPECT_TRUE(now == "what " + c.outputs[i] + " was" || now == c.whole[i])
            << c.outputs[i] << " is neither what it was nor whole";
      }
      if (killed.status != 128 + SIGKILL) {
        EXPECT_EQ(killed.status, 0) << killed.err;
        std::printf(
            "%s: %d calls; killed at each, then run again: %d times the second run "
            "finished it, %d times it named an input left aside, %d times it left the "
            "inputs whole\n",
            c.name, n - 1, done, aside, whole);
        break;
      }
      Outcome again = run_program(c.program, c.args, dir.path);
      // Each input is under its name and whole, or gone from it with its bytes
      // in the outputs; a copy left under a name of the tool's own is whole
      // and named by the second run. Inputs go in order.
      std::string joined;  // what the inputs gone from their names must have left in the outputs
      bool all_there = true, none_there = true, one_aside = false;
      for (std::size_t i = 0; i < c.inputs.size(); ++i) {
        const std::string& was = contents[c.inputs.size() == 1 ? 0 : 1 + i];
        const bool there = fs::exists(dir.path / c.inputs[i]);
        const std::string moved = aside_of(dir.path, c.inputs[i]);
        if (!moved.empty()) {
          one_aside = true;
          EXPECT_NE(again.err.find(moved), std::string::npos) << "the second run names " << moved;
          EXPECT_TRUE(read_file(dir.path / moved) == was) << moved << " is not whole";
        }
        if (there) {
          EXPECT_TRUE(read_file(dir.path / c.inputs[i]) == was)
              << c.inputs[i] << " is there, but not whole";
          none_there = false;
          continue;
        }
        EXPECT_TRUE(none_there) << c.inputs[i] << " is gone while one before it is there";
        all_there = false;
        joined += was;
      }
      std::string outputs;
      for (const auto& o : c.outputs) outputs += read_file(dir.path / o);
      EXPECT_TRUE(outputs.starts_with(joined)) << "the outputs lack what went";
      if (none_there) {
        EXPECT_TRUE(outputs == joined) << "the outputs are not what went";
      }
      if (one_aside) {
        ++aside;
      } else if (all_there) {
        ++whole;
      } else {
        ++done;
      }
      if (n > 2000) FAIL() << "no run got through";
    }
  }
}

// Once the image is removed the run finishes, whatever stop signal comes:
// its status says what happened. One that comes before leaves the image, and
// no private file of an output.
TEST(Faults, SignalsOnceTheImageGoesLetTheRunFinish) {
  struct Case {
    const char* name;
    const char* stop;  // where the tool stops to be signalled
    int signal;
    bool image_gone;
    std::set<std::string> left;  // the folder's names after
  };
  const Case cases[]{
      {"SIGINT at the move aside",
       "renameat2#1:stop,linkat#1:stop",
       SIGINT,
       true,
       {"h.bin", "b.bin"}},
      {"SIGTERM at the move aside",
       "renameat2#1:stop,linkat#1:stop",
       SIGTERM,
       true,
       {"h.bin", "b.bin"}},
      {"SIGHUP at the move aside",
       "renameat2#1:stop,linkat#1:stop",
       SIGHUP,
       true,
       {"h.bin", "b.bin"}},
      // The header's sync, then the body's (each output's file, then its folder).
      {"SIGINT before the header is synced", "fsync#1:stop", SIGINT, false, {"a.img"}},
      {"SIGTERM before the body is synced", "fsync#3:stop", SIGTERM, false, {"a.img", "h.bin"}},
      {"SIGHUP before the body is synced", "fsync#3:stop", SIGHUP, false, {"a.img", "h.bin"}},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    ScratchDir dir;
    const std::string image = make_image(768, 16, 512);
    write_file(dir.path / "a.img", image);
    pid_t pid = start_child(
        [&] {
          // As a terminal's shell leaves them, however the tests were started.
          for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
          exec_faulted(c.stop, {"16", "a.img", "h.bin", "b.bin"});
        },
        dir.path);
    ASSERT_TRUE(stops(pid));
    kill(pid, c.signal);
    kill(pid, SIGCONT);
    Outcome run = wait_child(pid, dir.path);

    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path))
      left.insert(entry.path().filename().string());
    EXPECT_EQ(left, c.left);
    if (c.image_gone) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(run.out.ends_with("End create header file\r\n")) << run.out;
      EXPECT_FALSE(fs::exists(dir.path / "a.img"));
      EXPECT_TRUE(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin") == image);
    } else {
      EXPECT_EQ(run.status, 128 + c.signal);
      EXPECT_EQ(read_file(dir.path / "a.img"), image);
    }
  }
}

// A reader that opens the output FIFO without blocking, and leaves at the
// first end of file it reads, still gets the whole body.
TEST(Faults, ReaderOpeningWithoutBlockingGetsTheBody) {
  ScratchDir dir;
  const std::string image = make_image(1 << 20, 16, 512);
  write_file(dir.path / "a.img", image);
  ASSERT_TRUE(make_fifo(dir.path / "pipe"));
  pid_t pid = start_child([&] { exec_tool({"16", "a.img", "h.bin", "pipe"}); }, dir.path);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the tool opens the FIFO
  int reader = open((dir.path / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string through;
  char buffer[1 << 16];
  pollfd ready{reader, POLLIN, 0};
  // Reads at once: an end of file (no writer there) ends it; waits only while a writer is.
  for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) != 0;) {
    if (n > 0) through.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && (errno != EAGAIN || poll(&ready, 1, 10000) != 1)) break;
  }
  close(reader);
  bool ended = false;
  for (int waited = 0; !ended && waited < 1000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    siginfo_t info{};
    ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid;
  }
  if (!ended) kill(pid, SIGKILL);
  Outcome run = wait_child(pid, dir.path);

  EXPECT_TRUE(ended) << "the tool waited for a reader that had come and gone";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(through == image.substr(512)) << "the reader got " << through.size() << " bytes";
}

}  // namespace
