// Faults a user meets: a full file system, a run killed half way, console
// output that can't be written. In each the image must survive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/mount.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "child.h"
#include "kiv_parse_bin.h"

namespace {

#if defined(__linux__)
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
#endif

// Starts the tool with a named pipe "pipe" in dir among its outputs. Nobody
// drains the pipe yet, so the copy stalls half way, every time; pipe is then
// the reading end, non-blocking.
pid_t start_stalled(const fs::path& dir, const std::vector<std::string>& args, int& pipe) {
  EXPECT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  pipe = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  pid_t pid = start_child([&] { exec_tool(args); }, dir);
  pollfd ready{pipe, POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 10000), 1) << "the copy never started";
  return pid;
}

// Reads the pipe until the tool closes it.
void drain(int pipe) {
  static char sink[1 << 16];
  pollfd ready{pipe, POLLIN, 0};
  while (poll(&ready, 1, 10000) == 1 && read(pipe, sink, sizeof sink) != 0) {
  }
}

TEST(Faults, KilledMidCopyKeepsImage) {
  for (const bool header_stalls : {true, false}) {
    SCOPED_TRACE(header_stalls ? "header" : "body");
    ScratchDir dir;
    const std::string image = make_image(8 << 20, 16, 1 << 20);
    write_file(dir.path / "a.img", image);
    int pipe = -1;
    pid_t pid = start_stalled(
        dir.path,
        {"16", "a.img", header_stalls ? "pipe" : "h.bin", header_stalls ? "b.bin" : "pipe"}, pipe);
    kill(pid, SIGKILL);
    Outcome run = wait_child(pid, dir.path);
    close(pipe);

    EXPECT_EQ(run.status, 128 + SIGKILL);
    EXPECT_EQ(read_file(dir.path / "a.img"), image);
  }
}

TEST(Faults, ImageChangedDuringSplitIsKept) {
  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> changes{
      {"shrinks", [](const fs::path& image) { fs::resize_file(image, 2 << 20); }},
      {"grows", [](const fs::path& image) { fs::resize_file(image, 9 << 20); }},
      {"rewritten in place",
       [](const fs::path& image) { std::fstream(image, std::ios::in | std::ios::out) << "x"; }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    const fs::path image = dir.path / "a.img";
    write_file(image, make_image(8 << 20, 16, 1 << 20));
    // Well in the past, so a change made now shows in the time of last write.
    fs::last_write_time(image, fs::last_write_time(image) - std::chrono::hours(1));
    int pipe = -1;
    pid_t pid = start_stalled(dir.path, {"16", "a.img", "h.bin", "pipe"}, pipe);
    change(image);
    drain(pipe);
    Outcome run = wait_child(pid, dir.path);
    close(pipe);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kiv_parse_bin: a.img changed while it was copied\n");
    EXPECT_TRUE(fs::exists(image));
  }
}

TEST(Faults, BodyIsCreatedOnlyOnceTheImageOpens) {
  // A second run on the same files that finds the image already split and gone.
  ScratchDir dir;
  write_file(dir.path / "b.bin", "the body of the first run");
  Outcome run = run_child(
      [] {
        SplitFile_info info{"a.img", "h.bin", "b.bin", 0, 16, FileIdentity{}};
        remove_header_info_from_file(info);
      },
      dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Open the file failure...\r\n");
  EXPECT_EQ(read_file(dir.path / "b.bin"), "the body of the first run");
}

TEST(Faults, TwoRunsOnOneImageLoseNothing) {
  ScratchDir dir;
  const std::string image = make_image(4 << 20, 16, 2 << 20);
  std::mt19937 random(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp): fixed, to run again
  fs::create_directory(dir.path / "a");
  fs::create_directory(dir.path / "b");
  const std::vector<std::string> args{"16", (dir.path / "a.img").string(),
                                      (dir.path / "h.bin").string(), (dir.path / "b.bin").string()};
  auto run = [&](const char* where) {
    return start_child([&] { exec_tool(args); }, dir.path / where);
  };
  // The second run starts anywhere within the time one run takes.
  write_file(dir.path / "a.img", image);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(wait_child(run("a"), dir.path / "a").status, 0);
  auto one_run = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    write_file(dir.path / "a.img", image);
    pid_t first = run("a");
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<std::int64_t>(0, one_run.count())(random)));
    pid_t second = run("b");
    Outcome one = wait_child(first, dir.path / "a");
    Outcome two = wait_child(second, dir.path / "b");

    EXPECT_TRUE(one.status == 0 || two.status == 0) << one.err << two.err;
    // Compared whole, not printed: 4 MiB apiece.
    const bool whole = fs::exists(dir.path / "a.img")
                           ? read_file(dir.path / "a.img") == image
                           : read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin") == image;
    EXPECT_TRUE(whole) << "neither the image nor both outputs are whole";
  }
}

#if defined(__linux__)
// Makes dir's entries impossible to remove, even by root; false where the file system can't.
bool make_immutable(const fs::path& dir, bool on) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
              ioctl(fd, FS_IOC_SETFLAGS,
                    &(flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL)) == 0;
  if (fd >= 0) close(fd);
  return done;
}

TEST(Faults, FailedRemovalIsNoSuccess) {
  ScratchDir dir;
  const fs::path locked = dir.path / "locked";
  fs::create_directory(locked);
  const std::string image = make_image(768, 16, 512);
  write_file(locked / "a.img", image);
  write_file(locked / "one", "1");
  if (!make_immutable(locked, true)) GTEST_SKIP() << "no immutable directories here";
  Outcome split = run_tool({"16", "locked/a.img", "h.bin", "b.bin"}, dir.path);
  Outcome merged = run_program(MERGE_RUNNER_EXE, {"locked/one", "two", "1", "out"}, dir.path);
  make_immutable(locked, false);

  EXPECT_EQ(split.status, 1);
  EXPECT_TRUE(split.out.ends_with("begin create header file\r\n")) << split.out;
  EXPECT_EQ(split.err,
            "kiv_parse_bin: split complete, but cannot remove locked/a.img: Operation not "
            "permitted\n");
  EXPECT_EQ(read_file(locked / "a.img"), image);
  EXPECT_EQ(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin"), image);
  EXPECT_EQ(merged.status, 1);
  EXPECT_TRUE(merged.err.starts_with("kiv_parse_bin: merged, but cannot remove locked/one: "));
  EXPECT_EQ(read_file(locked / "one"), "1");
  EXPECT_EQ(read_file(dir.path / "out"), "1");
}
#endif

TEST(Faults, LostConsoleLinesAreReported) {
  if (*full_device == '\0') GTEST_SKIP() << "no device here fails writes with a full disk";
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512);
  write_file(dir.path / "a.img", image);
  Outcome run = run_child(
      [] {
        int full = open(full_device, O_WRONLY);
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
