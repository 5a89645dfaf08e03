// Ways a user or a program can lose an image, each tried as they would: the
// run must end, keep the image unless both outputs hold it, and leave every
// output as it was or whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/mount.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "child.h"
#include "kiv_parse_bin.h"

namespace {

// Collects a child started with start_child, killing it where it has not
// ended within the seconds given; false then.
bool ends_within(pid_t pid, const fs::path& dir, int seconds, Outcome& run) {
  bool ended = false;
  for (int waited = 0; !ended && waited < seconds * 100; ++waited) {
    siginfo_t info{};
    ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) kill(pid, SIGKILL);
  run = wait_child(pid, dir);
  return ended;
}

// The tool and the merge program copied where user 65534 can run them.
void copy_programs(const fs::path& dir) {
  fs::copy_file(KIV_PARSE_BIN_EXE, dir / "tool");
  fs::permissions(dir, fs::perms::all);
}

bool as_root() { return geteuid() == 0; }

struct Case {
  const char* name;
  std::function<void(const fs::path& dir)> run;  // lays out, runs and checks, in dir
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Safety : public ::testing::TestWithParam<Case> {};

TEST_P(Safety, NothingIsLost) {
  ScratchDir dir;
  GetParam().run(dir.path);
}

const std::string image = make_image(1 << 20, 16, 0x1234);  // NOLINT(cert-err58-cpp)

// Writes into an output once the run has checked it, while it moves the image
// aside: the check after that move must see it.
void output_written_during_the_removal(const fs::path& dir) {
  write_file(dir / "a.img", image);
  pid_t pid = start_child(
      [] {
        exec_faulted("renameat2#1:stop,linkat#1:stop", {"16", "a.img", "h.bin", "b.bin"});
      },
      dir);
  ASSERT_TRUE(stops(pid));
  std::fstream(dir / "h.bin", std::ios::in | std::ios::out) << "sixteen bytes..!";
  kill(pid, SIGCONT);
  Outcome run = wait_child(pid, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "kiv_parse_bin: h.bin changed after it was written\n");
  EXPECT_TRUE(read_file(dir / "a.img") == image) << "the image is not whole";
}

// Two runs whose outputs are each other's, at once: both end, each keeps its
// image unless it finished, and each output is one run's whole part.
void swapped_outputs(const fs::path& dir) {
  // Headers of half the image: each run is still writing its header when the other begins.
  constexpr std::uint32_t half = 32 << 20;
  const std::string big[] = {make_image(64 << 20, 16, half), make_image(64 << 20, 16, half)};
  for (const char* sub : {"one", "two"}) fs::create_directory(dir / sub);
  write_file(dir / "i1", big[0]);
  write_file(dir / "i2", big[1] + "2");
  const auto with = [&](std::vector<std::string> args) {
    for (auto& a : args) a = a == "16" ? a : (dir / a).string();
    return [args] { exec_tool(args); };
  };
  pid_t one = start_child(with({"16", "i1", "h", "b"}), dir / "one");
  pid_t two = start_child(with({"16", "i2", "b", "h"}), dir / "two");
  Outcome first, second;
  EXPECT_TRUE(ends_within(one, dir / "one", 60, first)) << "the first run waited for ever";
  EXPECT_TRUE(ends_within(two, dir / "two", 60, second)) << "the second run waited for ever";
  EXPECT_TRUE(first.status <= 1 && second.status <= 1) << first.err << second.err;
  EXPECT_EQ(fs::exists(dir / "i1"), first.status != 0);
  EXPECT_EQ(fs::exists(dir / "i2"), second.status != 0);
  // A run that finished may have had its outputs replaced by the other since, as if run after it.
  const std::string h = read_file(dir / "h"), b = read_file(dir / "b");
  EXPECT_TRUE(h == big[0].substr(0, half) || h == big[1].substr(half) + "2") << "h is no part";
  EXPECT_TRUE(b == big[0].substr(half) || b == big[1].substr(0, half)) << "b is no part";
  if (fs::exists(dir / "i1")) {
    EXPECT_TRUE(read_file(dir / "i1") == big[0]);
  }
  if (fs::exists(dir / "i2")) {
    EXPECT_TRUE(read_file(dir / "i2") == big[1] + "2");
  }
}

// Two runs writing one disk: the second can't have it while the first does.
void one_disk_two_writers(const fs::path& dir) {
  if (!as_root()) GTEST_SKIP() << "loop devices need root";
  write_file(dir / "disk", std::string(1 << 20, '\0'));
  // NOLINTNEXTLINE(cert-env33-c): a fixed command on the test's own path
  std::FILE* attached = popen(("losetup -f --show " + (dir / "disk").string()).c_str(), "r");
  if (attached == nullptr) GTEST_SKIP() << "losetup can't be run here";
  char name[64] = "";
  const bool read = std::fgets(name, sizeof name, attached) != nullptr;
  pclose(attached);
  if (!read) GTEST_SKIP() << "no loop device could be attached";
  const std::string disk = std::string(name, std::strcspn(name, "\n"));
  write_file(dir / "i1", image);
  write_file(dir / "i2", make_image(1 << 20, 16, 0x1234) + "2");
  // The first stops at its header's sync, the disk open and written.
#if HAVE_FDATASYNC
  const char* header_synced = "fdatasync#1:stop";
#else
  const char* header_synced = "fsync#1:stop";
#endif
  pid_t first = start_child([&] { exec_faulted(header_synced, {"16", "i1", disk, "b1"}); }, dir);
  const bool stopped = stops(first);
  Outcome second = run_tool({"16", "i2", disk, "b2"}, dir);
  kill(first, SIGCONT);
  Outcome one = wait_child(first, dir);
  std::string held(0x1234, '\0');
  {
    std::ifstream in(disk, std::ios::binary);
    in.read(held.data(), static_cast<std::streamsize>(held.size()));
  }
  std::system(("losetup -d " + disk).c_str());  // NOLINT(cert-env33-c): as above
  ASSERT_TRUE(stopped);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(second.status, 1) << "a second writer had the disk";
  EXPECT_TRUE(fs::exists(dir / "i2")) << "the second image is gone";
  EXPECT_TRUE(held == image.substr(0, 0x1234)) << "the disk holds neither header";
}

// Names like the tool's own, made by the user, are the user's.
void link_to_a_name_like_the_tools(const fs::path& dir) {
  write_file(dir / ".img.kiv_parse_bin-orig", image);
  fs::create_symlink(".img.kiv_parse_bin-orig", dir / "img");
  Outcome run = run_tool({"16", "img", "h.bin", "b.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "img"))) << "the link given is not removed";
  EXPECT_TRUE(read_file(dir / ".img.kiv_parse_bin-orig") == image) << "the link's target went";
}

void hard_link_under_a_name_like_the_tools(const fs::path& dir) {
  write_file(dir / "img", image);
  fs::create_hard_link(dir / "img", dir / ".img.kiv_parse_bin-keep");
  Outcome run = run_tool({"16", "img", "h.bin", "b.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(read_file(dir / ".img.kiv_parse_bin-keep") == image) << "the user's link went";
}

void notes_under_a_name_like_the_tools(const fs::path& dir) {
  write_file(dir / ".img.kiv_parse_bin-notes", "the user's notes");
  Outcome run = run_tool({"16", "img", "h.bin", "b.bin"}, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "kiv_parse_bin: cannot open img: No such file or directory\n");
}

// A folder the user may write into but not open: nothing can make the new
// entries durable, so nothing is written.
void output_folder_that_cannot_be_opened(const fs::path& dir) {
  if (!as_root()) GTEST_SKIP() << "a second user needs root";
  copy_programs(dir);
  fs::create_directory(dir / "out");
  write_file(dir / "a.img", image);
  for (const char* owned : {"out", "a.img", ""}) chown((dir / owned).c_str(), 65534, 65534);
  fs::permissions(dir / "out", fs::perms::owner_write | fs::perms::owner_exec);
  Outcome run = run_child(
      [&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) std::_Exit(126);
        exec_program((dir / "tool").string(), {"16", "a.img", "out/h.bin", "out/b.bin"});
      },
      dir);
  fs::permissions(dir / "out", fs::perms::owner_all);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("kiv_parse_bin: cannot examine out/h.bin: its folder can't be"))
      << run.err;
  EXPECT_TRUE(fs::is_empty(dir / "out")) << "an output was written";
  EXPECT_TRUE(read_file(dir / "a.img") == image);
}

// A folder whose whole path passes PATH_MAX, entered level by level: every
// file is reached from its folder, so the split completes.
void folder_past_the_path_limit(const fs::path& dir) {
  // Under qemu-user the file calls are this machine's own: the native run covers them.
  if (*TARGET_EMULATOR != '\0') GTEST_SKIP() << "under an emulator";
  const std::string level(200, 'd');
  Outcome run = run_child(
      [&] {
        for (int i = 0; i < 21; ++i) {
          if (mkdir(level.c_str(), 0700) != 0 || chdir(level.c_str()) != 0) std::_Exit(126);
        }
        write_file("a.img", image);
        const int status = std::system(  // NOLINT(cert-env33-c): the tool, by its path
            (std::string(KIV_PARSE_BIN_EXE) + " 16 a.img h.bin b.bin >/dev/null").c_str());
        if (status != 0) std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
        std::_Exit(!fs::exists("a.img") && read_file("h.bin") + read_file("b.bin") == image ? 0
                                                                                            : 3);
      },
      dir);
  EXPECT_EQ(run.status, 0) << run.err;
  // Removed from within: the whole path is too long for the scratch folder's own removal.
  std::system(("cd '" + dir.string() + "' && rm -rf " + level).c_str());  // NOLINT(cert-env33-c)
}

// An image with another file bound over it can't be renamed or removed: refused first.
void bind_mounted_image(const fs::path& dir) {
#if defined(__linux__) && HAVE_STATX
  if (!as_root()) GTEST_SKIP() << "mounts need root";
  write_file(dir / "a.img", image);
  write_file(dir / "other", image);
  if (mount((dir / "other").c_str(), (dir / "a.img").c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "no bind mount here";
  Outcome run = run_tool({"16", "a.img", "h.bin", "b.bin"}, dir);
  umount2((dir / "a.img").c_str(), MNT_DETACH);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "kiv_parse_bin: refusing to split a.img: it is a mount point, so it could "
            "not be removed\n");
  EXPECT_FALSE(fs::exists(dir / "h.bin") || fs::exists(dir / "b.bin"));
  EXPECT_TRUE(read_file(dir / "a.img") == image);
#else
  (void)dir;
  GTEST_SKIP() << "this build can't tell a mount point";
#endif
}

// An output whose name no rename may replace is written where it is, where
// the user may write it; elsewhere the run ends before anything is written.
void unreplaceable_output(const fs::path& dir, bool bound, bool writable) {
  if (!as_root()) GTEST_SKIP() << "a second user and mounts need root";
  copy_programs(dir);
  write_file(dir / "a.img", image);
  write_file(dir / "h.bin", "the old header");
  fs::permissions(dir / "h.bin", fs::perms::owner_read | fs::perms::owner_write |
                                     (writable ? fs::perms::others_write : fs::perms::others_read));
  if (bound) {
#if defined(__linux__) && HAVE_STATX
    write_file(dir / "bound", "");
    if (mount((dir / "bound").c_str(), (dir / "h.bin").c_str(), nullptr, MS_BIND, nullptr) != 0)
      GTEST_SKIP() << "no bind mount here";
#else
    GTEST_SKIP() << "this build can't tell a mount point";
#endif
  } else {
    chown((dir / "a.img").c_str(), 65534, 65534);
    fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit);
  }
  Outcome run = run_child(
      [&] {
        if (!bound && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(126);
        exec_program((dir / "tool").string(), {"16", "a.img", "h.bin", "b.bin"});
      },
      dir);
#if defined(__linux__)
  if (bound) umount2((dir / "h.bin").c_str(), MNT_DETACH);
#endif
  fs::permissions(dir, fs::perms::owner_all);
  const std::string written = read_file(dir / (bound ? "bound" : "h.bin"));
  if (writable) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(written + read_file(dir / "b.bin") == image) << "the output is not the header";
  } else {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "I couldn't open the file \"h.bin\"\n");
    EXPECT_TRUE(written == "the old header") << "the output was written";
    EXPECT_FALSE(fs::exists(dir / "b.bin"));
    EXPECT_TRUE(read_file(dir / "a.img") == image);
  }
}

// An output the user may not write (a read-only file of their own) is not
// replaced: the run fails where opening it would, as before outputs were
// renamed into place, and keeps the image.
void read_only_output(const fs::path& dir, const std::string& which) {
  copy_programs(dir);
  write_file(dir / "a.img", image);
  write_file(dir / which, "the old file");
  fs::permissions(dir / which, fs::perms::owner_read | fs::perms::others_read);
  for (const char* name : {"a.img", which.c_str()})
    if (as_root()) chown((dir / name).c_str(), 65534, 65534);
  Outcome run = run_child(
      [&] {
        if (as_root() && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(126);
        exec_program((dir / "tool").string(), {"16", "a.img", "h.bin", "b.bin"});
      },
      dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(read_file(dir / which), "the old file") << "the read-only output was replaced";
  EXPECT_TRUE(read_file(dir / "a.img") == image);
  if (which == "h.bin") {
    EXPECT_EQ(run.err, "I couldn't open the file \"h.bin\"\n");
    EXPECT_FALSE(fs::exists(dir / "b.bin"));
  } else {
    EXPECT_TRUE(run.out.ends_with("Open the file failure...\r\n")) << run.out << run.err;
    EXPECT_TRUE(read_file(dir / "h.bin") == image.substr(0, 0x1234));
  }
}

// Limits a shell gives (ulimit -f, ulimit -v): one line and status 1, never a signal or an abort.
void under_a_limit(const fs::path& dir, int resource, rlim_t limit) {
  write_file(dir / "a.img", image + std::string(16 << 20, 'x'));
  Outcome run = run_child(
      [&] {
        const struct rlimit to { limit, limit };
        if (setrlimit(resource, &to) != 0) std::_Exit(126);
        exec_tool({"16", "a.img", "h.bin", "b.bin"});
      },
      dir);
  if (run.status == 127) GTEST_SKIP() << "the tool can't start under this limit here";
  EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << " " << run.err;
  if (run.status == 1) {
    EXPECT_TRUE(run.err.starts_with("kiv_parse_bin: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(read_file(dir / "a.img") == image + std::string(16 << 20, 'x'));
  }
}

void file_size_limit(const fs::path& dir) {
  signal(SIGXFSZ, SIG_DFL);  // as a shell leaves it
  under_a_limit(dir, RLIMIT_FSIZE, 64 << 10);
  EXPECT_TRUE(fs::exists(dir / "a.img"));
}

// Barely more than the tool needs to start: its copy's buffer can't be had.
void address_space_limit(const fs::path& dir) { under_a_limit(dir, RLIMIT_AS, 4608 << 10); }

// A program calling the command's steps out of order, or on a record it changed.
void steps(const fs::path& dir, const std::function<void(SplitFile_info&)>& between, int creates) {
  write_file(dir / "a.img", image);
  pid_t pid = start_child(
      [&] {
        const char* argv[] = {"kiv_parse_bin", "16", "a.img", "h.bin", "b.bin"};
        SplitFile_info info{};
        InitSplitFile_info(info, argv);
        for (int i = 0; i < creates; ++i) create_header_file(info);
        between(info);
        remove_header_info_from_file(info);
      },
      dir);
  Outcome run;
  EXPECT_TRUE(ends_within(pid, dir, 20, run)) << "the steps waited for ever";
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("kiv_parse_bin: refusing to ")) << run.err;
  EXPECT_TRUE(read_file(dir / "a.img") == image) << "the image is not whole";
}

void merges_on_two_threads(const fs::path& dir) {
  for (const char* name : {"a1", "b1", "a2", "b2"}) write_file(dir / name, name);
  Outcome run = run_child(
      [] {
        std::thread one([] {
          merge({.file_name = {"a1", "b1"}, .file_count = 2, .output_file = "o1"});
        });
        std::thread two([] {
          merge({.file_name = {"a2", "b2"}, .file_count = 2, .output_file = "o2"});
        });
        one.join();
        two.join();
      },
      dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir / "o1"), "a1b1");
  EXPECT_EQ(read_file(dir / "o2"), "a2b2");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Safety,
    ::testing::Values(
        Case{"an output written while the image is moved aside", output_written_during_the_removal},
        Case{"two runs with swapped outputs", swapped_outputs},
        Case{"two runs writing one disk", one_disk_two_writers},
        Case{"a link to a name like the tool's", link_to_a_name_like_the_tools},
        Case{"a hard link under a name like the tool's", hard_link_under_a_name_like_the_tools},
        Case{"notes under a name like the tool's", notes_under_a_name_like_the_tools},
        Case{"an output folder that can't be opened", output_folder_that_cannot_be_opened},
        Case{"a folder past the path limit", folder_past_the_path_limit},
        Case{"a bind-mounted image", bind_mounted_image},
        Case{"a bind-mounted output",
             [](const fs::path& d) { unreplaceable_output(d, true, true); }},
        Case{"another user's output in a sticky folder",
             [](const fs::path& d) { unreplaceable_output(d, false, true); }},
        Case{"another user's output in a sticky folder, read-only to the user",
             [](const fs::path& d) { unreplaceable_output(d, false, false); }},
        Case{"a read-only header", [](const fs::path& d) { read_only_output(d, "h.bin"); }},
        Case{"a read-only body", [](const fs::path& d) { read_only_output(d, "b.bin"); }},
        Case{"a file size limit", file_size_limit},
        Case{"an address space limit", address_space_limit},
        Case{"the body step without the header step",
             [](const fs::path& d) {
               steps(
                   d, [](SplitFile_info&) {}, 0);
             }},
        Case{"the header size changed between the steps",
             [](const fs::path& d) {
               steps(
                   d, [](SplitFile_info& i) { i.header_size = 100; }, 1);
             }},
        Case{"the header step twice",
             [](const fs::path& d) {
               steps(
                   d, [](SplitFile_info&) {}, 2);
             }},
        Case{"merges on two threads", merges_on_two_threads}),
    [](const auto& info) { return row_name(info.param.name); });

}  // namespace
