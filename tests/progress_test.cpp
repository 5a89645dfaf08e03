// Progress on a terminal, and none elsewhere: a split slowed by a named pipe
// that the test drains a little at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "child.h"

namespace {

// Reads what is there without waiting; returns it.
std::string read_ready(int fd) {
  std::string text;
  char buffer[1 << 16];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

TEST(Progress, OnATerminalOnly) {
  for (const bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "standard error a terminal" : "standard error a file");
    ScratchDir dir;
    write_file(dir.path / "a.img", make_image(4 << 20, 16, 0x1234));
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    int pipe = open((dir.path / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    // A terminal of the test's own, where one can be had (a container may have no /dev/pts).
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char* slave_name = nullptr;
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave_name = ptsname(master);
    const std::string slave = slave_name == nullptr ? "" : slave_name;
    if (terminal && (slave.empty() || access(slave.c_str(), R_OK | W_OK) != 0)) {
      const int error = errno;
      close(pipe);
      if (master >= 0) close(master);
      GTEST_SKIP() << "the terminal case: no pseudo-terminal can be had here ("
                   << std::strerror(error) << ")";
    }

    pid_t pid = start_child(
        [&] {
          if (terminal) dup2(open(slave.c_str(), O_RDWR | O_NOCTTY), 2);
          exec_tool({"16", "a.img", "h.bin", "pipe"});
        },
        dir.path);
    // About 2 MB/s: the 4 MiB split takes two seconds.
    std::string screen;
    pollfd ready{pipe, POLLIN, 0};
    while (poll(&ready, 1, 10000) == 1) {
      char sink[1 << 16];
      if (read(pipe, sink, sizeof sink) == 0) break;
      if (master >= 0) screen += read_ready(master);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    Outcome run = wait_child(pid, dir.path);
    if (master >= 0) screen += read_ready(master);
    close(pipe);
    if (master >= 0) close(master);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "input header addr is 16,input file:a.img,output file1:h.bin output file2:pipe\r\n"
              "Header File Size:0x1234\r\nbegin create header file\r\nEnd create header file\r\n");
    EXPECT_EQ(run.err, "");
    if (terminal) {
      EXPECT_NE(screen.find("%), "), std::string::npos) << screen;
      EXPECT_TRUE(screen.ends_with(" \r")) << "the line is not cleared at the end: " << screen;
    } else {
      EXPECT_EQ(screen, "");
    }
  }
}

}  // namespace
