// Faults a user meets: a full file system, a run killed half way, console
// output that can't be written. In each the image must survive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "child.h"
#include "kiv_parse_bin.h"
#include "mounts.h"

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
    // Written privately: the output that can't fit never appears under its name.
    EXPECT_FALSE(fs::exists(small / (header_size > 0x1234 ? "h.bin" : "b.bin")));
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()),
              header_size > 0x1234 ? 0 : 1)
        << "a private file was left behind";
    fs::remove(small / "h.bin");
    fs::remove(small / "b.bin");
  }
#if HAVE_FALLOCATE
  // Padding that can't fit (a wrong offset on a small disk) fails before any write: here each
  // fails.
  write_file(dir.path / "a.img", make_image(4096, 16, 1 << 20));
  Outcome run = run_child(
      [] {
        exec_faulted("pwrite:EIO,write:EIO", {"16", "a.img", "small/h.bin", "small/b.bin"});
      },
      dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(dir.path / "a.img"));
  EXPECT_TRUE(fs::is_empty(small)) << "a private file was left behind";
#endif
}
#endif

// Starts the tool with a named pipe "pipe" in dir among its outputs. Nobody
// drains the pipe yet, so the copy stalls half way, every time; pipe is then
// the reading end, non-blocking.
pid_t start_stalled(const fs::path& dir, const std::vector<std::string>& args, int& pipe,
                    const std::function<void()>& exec = {}, const fs::path& fifo = {}) {
  const fs::path at = fifo.empty() ? dir / "pipe" : fifo;
  EXPECT_EQ(mkfifo(at.c_str(), 0600), 0);
  pipe = open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  pid_t pid = start_child(
      exec ? exec : [&] { exec_tool(args); }, dir);
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

// A socket can't be opened as a file: the header's line, and no wait for a reader announced.
TEST(Faults, SocketAsOutputCannotBeOpened) {
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512), path = (dir.path / "h.bin").string();
  write_file(dir.path / "a.img", image);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  if (path.size() >= sizeof at.sun_path)
    GTEST_SKIP() << "the folder's path is too long for a socket";
  std::memcpy(at.sun_path, path.c_str(), path.size() + 1);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
  const std::string why = std::strerror(errno);
  Outcome run = bound ? run_tool({"16", "a.img", "h.bin", "b.bin"}, dir.path) : Outcome{};
  close(s);
  ASSERT_TRUE(bound) << why;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "I couldn't open the file \"h.bin\"\n");
  EXPECT_EQ(read_file(dir.path / "a.img"), image);
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

// Writes "x" over the file's first byte, then sets its time of last write back
// to what it was: only the time of change, which no user can set, still shows it.
void rewrite_quietly(const fs::path& file) {
  const auto modified = fs::last_write_time(file);
  std::fstream(file, std::ios::in | std::ios::out) << "x";
  fs::last_write_time(file, modified);
}

TEST(Faults, ChangesMidSplitKeepTheImage) {
  using Change = std::function<void(const fs::path& dir)>;
  struct Case {
    const char* name;
    // "header" or "body": that output is a FIFO the test drains only after the change.
    std::string stall;
    Change change;
    std::vector<std::string> err;  // what standard error ends with: one of these
    bool coarse = false;           // on a file system whose clock keeps whole seconds, within one
    // NOLINTNEXTLINE(readability-redundant-string-init): rows may leave it out
    std::string links_needed = "";  // where the change makes a link: not on exFAT
    const char* header = "h.bin";   // where no FIFO
  };
  const auto write_16 = [](const char* name) {
    return [name](const fs::path& d) {
      std::fstream(d / name, std::ios::in | std::ios::out) << "sixteen bytes..!";
    };
  };
  const std::string image_changed = "kiv_parse_bin: a.img changed while it was copied\n";
  const std::string header_changed = "kiv_parse_bin: h.bin changed after it was written\n";
  const Case cases[]{
      {"image shrinks",
       "body",
       [](const fs::path& d) { fs::resize_file(d / "a.img", 2 << 20); },
       {image_changed}},
      {"image grows",
       "body",
       [](const fs::path& d) { fs::resize_file(d / "a.img", 9 << 20); },
       {image_changed}},
      {"image rewritten in place", "body", write_16("a.img"), {image_changed}},
      {"image rewritten, its time of last write set back",
       "body",
       [](const fs::path& d) { rewrite_quietly(d / "a.img"); },
       {image_changed}},
      {"header replaced by a file of the same size",
       "body",
       [](const fs::path& d) {
         write_file(d / "other", std::string(1 << 20, '\0'));
         fs::rename(d / "other", d / "h.bin");
       },
       {header_changed}},
      {"header removed",
       "body",
       [](const fs::path& d) { fs::remove(d / "h.bin"); },
       {header_changed}},
      {"header rewritten, its time of last write set back",
       "body",
       [](const fs::path& d) { rewrite_quietly(d / "h.bin"); },
       {header_changed}},
      // Times that can't show it: only a look once the clock moved on can.
      {"image rewritten within the second it was written",
       "body",
       write_16("a.img"),
       {image_changed},
       true},
      // Outputs that keep no times wait out no tick: the image's own must be.
      {"image rewritten within its second, the header a device",
       "body",
       write_16("a.img"),
       {image_changed},
       true,
       "",
       "/dev/null"},
      {"header rewritten within the second it was written",
       "body",
       write_16("h.bin"),
       {header_changed},
       true},
      // Named when the run checked it, a link to the image by the time it is opened.
      {"body swapped for a link to the image",
       "header",
       [](const fs::path& d) { fs::create_symlink("a.img", d / "b.bin"); },
       {"kiv_parse_bin: refusing to overwrite the image a.img with b.bin\n"},
       false,
       "symbolic"},
  };
  // Here (the scratch folder), then each file system the tests can mount.
  std::vector<std::unique_ptr<Mounted>> mounts;
  // Under qemu-user the file calls are this machine's own: the native run covers them.
  if (*TARGET_EMULATOR != '\0')
    std::printf("skipped the mounted file systems: under an emulator\n");
  for (const auto& kind : mountable_kinds()) {
    if (*TARGET_EMULATOR == '\0') mounts.push_back(std::make_unique<Mounted>(kind));
  }
  for (std::size_t where = 0; where <= mounts.size(); ++where) {
    const Mounted* on = where == 0 ? nullptr : mounts[where - 1].get();
    if (on != nullptr && !on->mounted) {
      std::printf("skipped every row on %s: %s\n", on->kind.c_str(), on->why.c_str());
      continue;
    }
    for (const auto& c : cases) {
      TABLE_ROW(c.name);
      SCOPED_TRACE(on == nullptr ? "here" : on->kind);
      // Within a second only where times keep seconds; the rest on ext4 adds nothing to here.
      if (c.coarse ? on == nullptr || !on->coarse
                   : on != nullptr && on->kind == "ext4, whole seconds")
        continue;
      if (!c.links_needed.empty() && on != nullptr && !on->links) continue;
      ScratchDir scratch;
      const fs::path dir = on == nullptr ? scratch.path : on->dir;
      for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
      const fs::path image = dir / "a.img", fifo = scratch.path / "pipe";
      const std::string original = make_image(8 << 20, 16, 1 << 20);
      write_file(image, original);
      // Well in the past, so a change made now shows in the time of last write.
      if (!c.coarse) fs::last_write_time(image, fs::last_write_time(image) - std::chrono::hours(1));
      const std::vector<std::string> args{"16", "a.img",
                                          c.stall == "header" ? fifo.string() : c.header,
                                          c.stall == "body" ? fifo.string() : "b.bin"};
      int pipe = -1;
      pid_t pid = start_stalled(
          dir, args, pipe, [&] { exec_tool(args); }, fifo);
      c.change(dir);
      drain(pipe);
      Outcome run = wait_child(pid, dir);
      close(pipe);

      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(std::any_of(c.err.begin(), c.err.end(), [&](const std::string& e) {
        return run.err.ends_with(e);
      })) << run.err;
      EXPECT_TRUE(fs::exists(image));
      if (c.err[0] != image_changed) {
        EXPECT_TRUE(read_file(image) == original) << "the image is not whole";
      }
    }
  }
}

// A reader that leaves a pipe with bytes still to come: a write failure, not
// a split whose body went nowhere.
TEST(Faults, PipeReaderLeavingEarlyKeepsTheInputs) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* kept;  // an input that must stay whole
  };
  const Case cases[]{
      {KIV_PARSE_BIN_EXE, {"16", "a.img", "h.bin", "pipe"}, "a.img"},
      {MERGE_RUNNER_EXE, {"a.img", "one", "2", "pipe"}, "a.img"},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.program);
    ScratchDir dir;
    const std::string image = make_image(4 << 20, 16, 0x1234);
    write_file(dir.path / "a.img", image);
    write_file(dir.path / "one", "1");
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    int pipe = open((dir.path / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    pid_t pid = start_child([&] { exec_program(c.program, c.args); }, dir.path);
    pollfd ready{pipe, POLLIN, 0};
    char some[100];
    EXPECT_EQ(poll(&ready, 1, 10000), 1);
    EXPECT_EQ(read(pipe, some, sizeof some), ssize_t{sizeof some});
    close(pipe);
    Outcome run = wait_child(pid, dir.path);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kiv_parse_bin: cannot write pipe: Broken pipe\n");
    EXPECT_TRUE(read_file(dir.path / c.kept) == image) << "the input is not whole";
  }
}

// A download or rsync that replaces the image atomically while the tool is
// about to remove it: the file found there was never copied and must stay.
// Runs body(dir, name) in a scratch folder here, then on each file system the
// tests can mount (saying which can't be), with a fresh empty dir each time.
void on_every_file_system(
    const std::function<void(const fs::path& dir, const std::string& name)>& body) {
  {
    ScratchDir here;
    body(here.path, "here");
  }
  if (*TARGET_EMULATOR != '\0')
    return;  // the file calls are this machine's: its native run covers them
  for (const auto& kind : mountable_kinds()) {
    Mounted on(kind);
    if (!on.mounted) {
      std::printf("skipped %s: %s\n", kind.c_str(), on.why.c_str());
      continue;
    }
    body(on.dir, kind);
  }
}

// Outputs named as the image, or as each other, but for case: one file where
// the file system ignores case (exFAT through FUSE gives each spelling an
// inode number of its own), refused there before anything is written.
TEST(Faults, NamesTheSameButForCaseAreOneFile) {
  on_every_file_system([](const fs::path& dir, const std::string& where) {
    SCOPED_TRACE(where);
    const std::string image = make_image(1 << 20, 16, 0x1234);
    write_file(dir / "a.img", image);
    const bool ignores_case = fs::exists(dir / "A.IMG");
    const auto refused = [&](const std::vector<std::string>& args, const std::string& err) {
      Outcome run = run_tool(args, dir);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, err);
      EXPECT_TRUE(read_file(dir / "a.img") == image) << "the image is not whole";
      EXPECT_FALSE(fs::exists(dir / "b.bin")) << "an output was written";
    };
    if (ignores_case) {
      refused({"16", "a.img", "A.IMG", "b.bin"},
              "kiv_parse_bin: refusing to overwrite the image a.img with A.IMG\n");
      // Named twice: joined once, then the run stops there.
      Outcome run = run_program(MERGE_RUNNER_EXE, {"a.img", "A.IMG", "2", "out"}, dir);
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(run.out.ends_with("fopen A.IMG failed\r\n")) << run.out << run.err;
      EXPECT_TRUE(read_file(dir / "out") == image) << "the output is not the file once";
      write_file(dir / "a.img", image);
    }
    refused({"16", "a.img", "b.bin", "B.BIN"},
            "kiv_parse_bin: refusing to write header and body to one file: b.bin and B.BIN\n");
    fs::remove(dir / "a.img");
  });
}

// Splits and merges that finish, exact, wherever the files are: the move
// aside before a removal must work where the rename can't refuse to replace.
TEST(Faults, SplitsAndMergesFinishOnEveryFileSystem) {
  on_every_file_system([](const fs::path& dir, const std::string& where) {
    SCOPED_TRACE(where);
    for (const std::uint32_t header : {0x1000u, 0x1234u}) {
      const std::string image = make_image(3 << 20, 16, header);
      write_file(dir / "a.img", image);
      write_file(dir / "h.bin", "an old header");  // replaced whole, in place
      Outcome run = run_tool({"16", "a.img", "h.bin", "b.bin"}, dir);
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_FALSE(fs::exists(dir / "a.img"));
      EXPECT_TRUE(read_file(dir / "h.bin") == image.substr(0, header));
      EXPECT_TRUE(read_file(dir / "b.bin") == image.substr(header));
    }
    Outcome run = run_program(MERGE_RUNNER_EXE, {"h.bin", "b.bin", "2", "joined"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_file(dir / "joined") == make_image(3 << 20, 16, 0x1234));
    EXPECT_FALSE(fs::exists(dir / "h.bin") || fs::exists(dir / "b.bin"));
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_EQ(entry.path().filename().string().find("kiv_parse_bin"), std::string::npos)
          << "left behind: " << entry.path();
    }
    fs::remove(dir / "joined");
  });
}

// A download or rsync that replaces the image atomically while the tool is
// about to remove it: the file found there was never copied and must stay.
TEST(Faults, FileRenamedOverAnInputIsKept) {
  if (*SHIM_LIBRARY == '\0') GTEST_SKIP() << "no library can be loaded into this build's tool";
  struct Case {
    const char* program;
    std::vector<std::string> args, outputs;
  };
  const Case cases[]{
      {KIV_PARSE_BIN_FAULTS_EXE, {"16", "a.img", "h.bin", "b.bin"}, {"h.bin", "b.bin"}},
      {MERGE_RUNNER_EXE, {"a.img", "-", "1", "joined"}, {"joined"}},
  };
  on_every_file_system([&](const fs::path& dir, const std::string& where) {
    SCOPED_TRACE(where);
    for (const auto& c : cases) {
      TABLE_ROW(c.program);
      for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
      const std::string image = make_image(768, 16, 512), newer = "a file renamed over the image";
      write_file(dir / "a.img", image);
      write_file(dir / "newer", newer);
      Outcome run = run_child(
          [&] {
            setenv("LD_PRELOAD", SHIM_LIBRARY, 1);
            setenv("KIV_SHIM_RENAME_OVER", "newer", 1);
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            exec_program(c.program, c.args);
          },
          dir);
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, "kiv_parse_bin: a.img changed while it was copied\n");
      EXPECT_EQ(read_file(dir / "a.img"), newer);
      std::string joined;
      for (const auto& output : c.outputs) joined += read_file(dir / output);
      EXPECT_TRUE(joined == image) << "the outputs are not the whole image";
      EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
                static_cast<std::ptrdiff_t>(1 + c.outputs.size()))
          << "a file was left under another name";
    }
  });
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

    // Both may fail, each finding the other's outputs where its own were: then
    // both keep the image. Compared whole, not printed: 4 MiB apiece.
    EXPECT_TRUE(one.status <= 1 && two.status <= 1) << one.err << two.err;
    const bool whole = fs::exists(dir.path / "a.img")
                           ? read_file(dir.path / "a.img") == image
                           : read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin") == image;
    EXPECT_TRUE(whole) << "neither the image nor both outputs are whole";
  }
}

// A removal that fails at the end, for a reason nothing could tell before: the input stays.
TEST(Faults, FailedRemovalIsNoSuccess) {
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512);
  write_file(dir.path / "a.img", image);
  write_file(dir.path / "one", "1");
  const auto faulted = [&](const char* program, const std::vector<std::string>& args) {
    return run_child(
        [&] {
          setenv("KIV_FAULTS", "unlinkat#1:EIO", 1);
          exec_program(program, args);
        },
        dir.path);
  };
  Outcome split = faulted(KIV_PARSE_BIN_FAULTS_EXE, {"16", "a.img", "h.bin", "b.bin"});
  Outcome merged = faulted(MERGE_RUNNER_EXE, {"one", "two", "1", "out"});

  EXPECT_EQ(split.status, 1);
  EXPECT_TRUE(split.out.ends_with("begin create header file\r\n")) << split.out;
  EXPECT_EQ(split.err,
            "kiv_parse_bin: split complete, but cannot remove a.img: Input/output error\n");
  EXPECT_EQ(read_file(dir.path / "a.img"), image);
  EXPECT_EQ(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin"), image);
  EXPECT_EQ(merged.status, 1);
  EXPECT_EQ(merged.err, "kiv_parse_bin: merged, but cannot remove one: Input/output error\n");
  EXPECT_EQ(read_file(dir.path / "one"), "1");
  EXPECT_EQ(read_file(dir.path / "out"), "1");
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    EXPECT_EQ(entry.path().filename().string().find("kiv_parse_bin-"), std::string::npos)
        << "left behind: " << entry.path();
  }
}

#if defined(__linux__)
// Sets or clears an inode flag (FS_IMMUTABLE_FL, FS_APPEND_FL) on path;
// false where the file system can't.
bool set_flag(const fs::path& path, int flag, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
              ioctl(fd, FS_IOC_SETFLAGS, &(flags = on ? flags | flag : flags & ~flag)) == 0;
  if (fd >= 0) close(fd);
  return done;
}

// An input that could not be removed once copied is refused before anything
// is written: the disk would hold it twice, and the run could only fail.
TEST(Faults, UnremovableInputsAreRefusedFirst) {
  if (geteuid() != 0) GTEST_SKIP() << "flags, mounts and a second user need root";
  using Setting = std::function<bool(const fs::path& folder, bool on)>;
  struct Case {
    const char* name;
    Setting set;     // makes (on) and unmakes the case in folder; false where it can't be made
    bool as_nobody;  // the tool runs as user 65534, the files root's
    const char* why;
  };
  const auto flag_on = [](const char* file, int flag) {
    return [file, flag](const fs::path& folder, bool on) {
      return (*file == '\0' || set_flag(folder / file, flag, on)) &&
             (*file != '\0' || set_flag(folder, flag, on));
    };
  };
  const auto mode = [](fs::perms perms) {
    return [perms](const fs::path& folder, bool on) {
      fs::permissions(folder, on ? perms : fs::perms::owner_all);
      return true;
    };
  };
  const Case cases[]{
      {"immutable folder", flag_on("", FS_IMMUTABLE_FL), false, "its folder is immutable"},
      {"append-only folder", flag_on("", FS_APPEND_FL), false, "its folder is append-only"},
      {"append-only input", flag_on("in", FS_APPEND_FL), false, "it is append-only"},
      {"read-only mount",
       [](const fs::path& folder, bool on) {
         return on ? mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0
                   : true;
       },
       false, "its folder is on a read-only file system"},
      {"folder the user may not write",
       mode(fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
            fs::perms::others_read | fs::perms::others_exec),
       true, "its folder may not be written"},
      {"sticky folder, the input another user's", mode(fs::perms::all | fs::perms::sticky_bit),
       true, "it is in a sticky folder and belongs to another user"},
  };
  {
    ScratchDir probe;
    for (fs::path p = probe.path.parent_path(); p != p.root_path(); p = p.parent_path()) {
      if ((fs::status(p).permissions() & fs::perms::others_exec) == fs::perms::none)
        GTEST_SKIP() << "user 65534 can't enter " << p << ", which holds the scratch folders";
    }
  }
  const std::string image = make_image(768, 16, 512);
  for (const auto& c : cases) {
    for (const bool split : {true, false}) {
      TABLE_ROW(c.name);
      SCOPED_TRACE(split ? "split" : "merge");
      ScratchDir dir;
      const fs::path folder = dir.path / "locked";
      fs::create_directory(folder);
      fs::permissions(dir.path, fs::perms::all);  // the second user reaches it
      const bool mounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") == 0;
      write_file(folder / "in", image);
      fs::permissions(folder / "in", fs::perms::owner_read | fs::perms::owner_write |
                                         fs::perms::group_read | fs::perms::group_write |
                                         fs::perms::others_read | fs::perms::others_write);
      if (!mounted || !c.set(folder, true)) {
        if (mounted) umount2(folder.c_str(), MNT_DETACH);
        std::printf("skipped %s: it can't be made here\n", c.name);
        continue;
      }
      // The second user may not reach the build (a checkout in a home of mode
      // 700): it runs copies in the scratch folder, which it can reach.
      const fs::path tool = dir.path / "tool", runner = dir.path / "runner";
      fs::copy_file(KIV_PARSE_BIN_EXE, tool);
      fs::copy_file(MERGE_RUNNER_EXE, runner);
      Outcome run = run_child(
          [&] {
            if (c.as_nobody && setuid(65534) != 0) std::_Exit(126);
            if (split) exec_program(tool, {"16", "locked/in", "h.bin", "b.bin"});
            exec_program(runner, {"locked/in", "-", "1", "out"});
          },
          dir.path);
      EXPECT_NE(run.status, 127) << "the programs could not be started as user 65534";
      c.set(folder, false);
      const std::string kept = read_file(folder / "in");
      umount2(folder.c_str(), MNT_DETACH);

      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, std::string("kiv_parse_bin: refusing to ") + (split ? "split" : "merge") +
                             " locked/in: " + c.why + ", so it could not be removed\n");
      EXPECT_TRUE(kept == image) << "the input is not whole";
      for (const char* output : {"h.bin", "b.bin", "out"})
        EXPECT_FALSE(fs::exists(dir.path / output));
    }
  }
}
#endif

// A console line that can't be written stops the run where it fails, the
// image kept: a script must not lose the image and never hear of it. Only the
// end line comes after the removal.
TEST(Faults, LostConsoleLinesAreReported) {
  struct Case {
    const char* name;
    const char* console;  // a device for standard output; null: a pipe whose reader left
    const char* program;
    std::vector<std::string> args, outputs;
    std::string err;
    bool after_removal;  // the reader leaves once the tool stops at its move aside
  };
  const std::string stopped = "kiv_parse_bin: cannot write standard output: ";
  const Case cases[]{
      {"split, the console on a full disk",
       full_device,
       KIV_PARSE_BIN_EXE,
       {"16", "a.img", "h.bin", "b.bin"},
       {"h.bin", "b.bin"},
       stopped + "No space left on device\n",
       false},
      {"split, the console's reader gone",
       nullptr,
       KIV_PARSE_BIN_EXE,
       {"16", "a.img", "h.bin", "b.bin"},
       {"h.bin", "b.bin"},
       stopped + "Broken pipe\n",
       false},
      {"merge, the console's reader gone",
       nullptr,
       MERGE_RUNNER_EXE,
       {"a.img", "-", "1", "joined"},
       {"joined"},
       stopped + "Broken pipe\n",
       false},
      {"split, the end line lost once the image is gone",
       nullptr,
       KIV_PARSE_BIN_FAULTS_EXE,
       {"16", "a.img", "h.bin", "b.bin"},
       {"h.bin", "b.bin"},
       "kiv_parse_bin: split complete, but standard output failed: Broken pipe\n",
       true},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    if (c.console != nullptr && *c.console == '\0') continue;  // no such device here
    ScratchDir dir;
    const std::string image = make_image(768, 16, 512);
    write_file(dir.path / "a.img", image);
    int console[2] = {-1, -1};
    if (c.console == nullptr) {
      ASSERT_EQ(pipe(console), 0);
    }
    pid_t pid = start_child(
        [&] {
          if (c.console != nullptr) console[1] = open(c.console, O_WRONLY);
          dup2(console[1], 1);
          if (c.console == nullptr) close(console[0]);
          setenv("KIV_FAULTS", "renameat2#1:stop,linkat#1:stop", 1);
          exec_program(c.program, c.args);
        },
        dir.path);
    if (console[1] >= 0) close(console[1]);
    if (c.after_removal) {
      ASSERT_TRUE(stops(pid));
      close(console[0]);
      kill(pid, SIGCONT);
    } else if (console[0] >= 0) {
      close(console[0]);
    }
    Outcome run = wait_child(pid, dir.path);

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    if (c.after_removal) {
      std::string joined;
      for (const auto& output : c.outputs) joined += read_file(dir.path / output);
      EXPECT_TRUE(joined == image) << "the outputs are not the whole image";
      EXPECT_FALSE(fs::exists(dir.path / "a.img"));
    } else {
      EXPECT_TRUE(read_file(dir.path / "a.img") == image) << "the image is not whole";
    }
  }
}

// A device node, a FIFO: nothing the tool may read as an image or delete.
TEST(Faults, OnlyRegularFilesAreInputs) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* special;  // made as the kind below
    bool device;          // a character device node (root only), else a FIFO
    std::string err;
  };
  const Case cases[]{
      {KIV_PARSE_BIN_EXE,
       {"16", "node", "h.bin", "b.bin"},
       "node",
       true,
       "kiv_parse_bin: refusing to split node: not a regular file\n"},
      {MERGE_RUNNER_EXE,
       {"a.img", "node", "2", "out"},
       "node",
       true,
       "kiv_parse_bin: refusing to merge node: not a regular file\n"},
      {MERGE_RUNNER_EXE,
       {"fifo", "a.img", "2", "out"},
       "fifo",
       false,
       "kiv_parse_bin: refusing to merge fifo: not a regular file\n"},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.err);
    ScratchDir dir;
    const fs::path special = dir.path / c.special;
    write_file(dir.path / "a.img", make_image(768, 16, 512));
    // The kind of /dev/null: reads as empty, takes every write.
    if (c.device ? mknod(special.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0
                 : mkfifo(special.c_str(), 0600) != 0) {
      continue;  // no mknod without root
    }
    Outcome run = run_program(c.program, c.args, dir.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(fs::exists(fs::symlink_status(special)));
    EXPECT_EQ(read_file(dir.path / "a.img"), make_image(768, 16, 512));
    for (const char* output : {"h.bin", "b.bin", "out"})
      EXPECT_FALSE(fs::exists(dir.path / output));
  }
}

// A FIFO output with no reader yet holds the run up: that is said on standard
// error, and the run goes on once a reader comes.
TEST(Faults, WaitsAreSaid) {
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512);
  write_file(dir.path / "a.img", image);
  ASSERT_TRUE(make_fifo(dir.path / "pipe"));
  pid_t pid = start_child([&] { exec_tool({"16", "a.img", "h.bin", "pipe"}); }, dir.path);
  const std::string waiting = "kiv_parse_bin: waiting for a reader of pipe\n";
  std::string said;
  for (int waited = 0; said != waiting && waited < 1000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    said = read_file(dir.path / ".stderr");
  }
  EXPECT_EQ(said, waiting);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the run did not wait";
  std::string through;
  int reader = open((dir.path / "pipe").c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) {
    through.append(buffer, static_cast<std::size_t>(n));
  }
  close(reader);
  Outcome run = wait_child(pid, dir.path);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(dir.path / "a.img"));
  EXPECT_TRUE(read_file(dir.path / "h.bin") + through == image) << "the outputs are not the image";
}

#if defined(__linux__)
// An image baked into a container's lower layer: neither reading nor removing it may copy it up.
TEST(Faults, ImageInALowerLayerSplitsTheFirstTime) {
  ScratchDir dir;
  for (const char* sub : {"lower", "top", "merged"}) fs::create_directory(dir.path / sub);
  // An upper layer with room for a quarter of the image: a copy up can't fit.
  const std::string image = make_image(1 << 20, 16, 0x1234);
  write_file(dir.path / "lower/a.img", image);
  if (mount("tmpfs", (dir.path / "top").c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << std::strerror(errno);
  }
  fs::create_directory(dir.path / "top/upper");
  fs::create_directory(dir.path / "top/work");
  const std::string layers = "lowerdir=" + (dir.path / "lower").string() +
                             ",upperdir=" + (dir.path / "top/upper").string() +
                             ",workdir=" + (dir.path / "top/work").string();
  if (mount("overlay", (dir.path / "merged").c_str(), "overlay", 0, layers.c_str()) != 0) {
    umount2((dir.path / "top").c_str(), MNT_DETACH);
    GTEST_SKIP() << "mounting an overlay is not permitted here: " << std::strerror(errno);
  }
  Outcome run = run_tool({"16", "merged/a.img", "h.bin", "b.bin"}, dir.path);
  const bool gone = !fs::exists(dir.path / "merged/a.img");
  umount2((dir.path / "merged").c_str(), MNT_DETACH);
  std::vector<fs::path> copied;
  for (const auto& entry : fs::directory_iterator(dir.path / "top/upper")) {
    if (entry.is_regular_file()) copied.push_back(entry.path());
  }
  umount2((dir.path / "top").c_str(), MNT_DETACH);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(gone);
  EXPECT_EQ(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin"), image);
  // Removed as rm removes it: a whiteout in the upper layer, no copy of the image.
  EXPECT_TRUE(copied.empty()) << "copied up: " << copied.front();
}

// Folders nested so deep that the image's path is near the system's limit:
// the names the tool moves it to must fit too.
TEST(Faults, ImageInADeepFolder) {
  ScratchDir dir;
  // The folders' part of the path 4,086 bytes long, the image's 4,089: the
  // tool's names beside it pass PATH_MAX (4,096 on Linux).
  std::vector<std::string> levels(20, std::string(200, 'd'));
  levels.emplace_back(4085 - 20 * 201, 'e');
  std::string path;
  std::vector<int> folders{open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (const auto& level : levels) {
    mkdirat(folders.back(), level.c_str(), 0700);
    folders.push_back(openat(folders.back(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    path += level + "/";
  }
  path += "img";
  const std::string image = make_image(768, 16, 512);
  int file = openat(folders.back(), "img", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(write(file, image.data(), image.size()), static_cast<ssize_t>(image.size()));
  close(file);
  Outcome run = run_tool({"16", path, "h.bin", "b.bin"}, dir.path);
  // Removed level by level: the whole path is too long for the scratch folder's own removal.
  bool image_left = faccessat(folders.back(), "img", F_OK, 0) == 0;
  unlinkat(folders.back(), "img", 0);
  for (std::size_t i = folders.size() - 1; i > 0; --i) {
    close(folders[i]);
    unlinkat(folders[i - 1], levels[i - 1].c_str(), AT_REMOVEDIR);
  }
  close(folders[0]);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(image_left);
  EXPECT_EQ(read_file(dir.path / "h.bin") + read_file(dir.path / "b.bin"), image);
}
#endif

}  // namespace
