// Faults a user meets: a full file system, a run killed half way, console
// output that can't be written. In each the image must survive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child.h"

namespace {

TEST(Faults, FullFileSystemKeepsImage) {
  ScratchDir dir;
  const fs::path small = dir.path / "small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "mounting a 256 KiB tmpfs is not permitted here: " << std::strerror(errno);
  }
  struct Unmount {
    const fs::path& at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};

  // A 2 MiB image: first the body overflows the file system, then the header.
  for (std::uint32_t header_size : {0x1234u, 0x100000u}) {
    SCOPED_TRACE(header_size);
    const std::string image = make_image(2 << 20, 16, header_size);
    write_file(dir.path / "a.img", image);
    Outcome run = run_tool({"16", "a.img", "small/h.bin", "small/b.bin"}, dir.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(dir.path / "a.img"), image);
    fs::remove(small / "h.bin");
    fs::remove(small / "b.bin");
  }
}

TEST(Faults, KilledMidCopyKeepsImage) {
  // An output that is a pipe nobody drains stalls the copy half way, every time.
  for (const bool header_stalls : {true, false}) {
    SCOPED_TRACE(header_stalls ? "header" : "body");
    ScratchDir dir;
    const std::string image = make_image(8 << 20, 16, 1 << 20);
    write_file(dir.path / "a.img", image);
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    int pipe = open((dir.path / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);

    pid_t pid = start_child(
        [&] {
          exec_tool(
              {"16", "a.img", header_stalls ? "pipe" : "h.bin", header_stalls ? "b.bin" : "pipe"});
        },
        dir.path);
    pollfd ready{pipe, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1) << "the copy never started";
    kill(pid, SIGKILL);
    Outcome run = wait_child(pid, dir.path);
    close(pipe);

    EXPECT_EQ(run.status, 128 + SIGKILL);
    EXPECT_EQ(read_file(dir.path / "a.img"), image);
  }
}

TEST(Faults, LostConsoleLinesAreReported) {
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512);
  write_file(dir.path / "a.img", image);
  Outcome run = run_child(
      [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        exec_tool({"16", "a.img", "h.bin", "b.bin"});
      },
      dir.path);
  // The split itself is complete; only the exit status and the message tell that the lines were
  // lost.
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "kiv_parse_bin: split complete, but standard output failed: No space left on device\n");
  EXPECT_EQ(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin"), image);
  EXPECT_FALSE(fs::exists(dir.path / "a.img"));
}

}  // namespace
