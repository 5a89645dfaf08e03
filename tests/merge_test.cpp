// Joining files end to end, through a small program, since merge ends the process on failure.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct MergeCase {
  const char* name;
  const char* first;
  const char* second;
  std::uint32_t count;
  const char* output;
  int status;
  std::string out;
  std::string err;     // what standard error starts with
  std::string joined;  // the output's content; "-" where no output may exist
  bool first_kept, second_kept;
  // NOLINTNEXTLINE(readability-redundant-string-init): rows may leave it out
  std::string out_before = "";  // what the output held before the run; "" where there was none
};

TEST(Merge, JoinsInOrderAndDeletesWhatItJoined) {
  const std::string one = std::string(512, 'a') + "1", two = std::string(255, 'b') + "2";
  const std::string refuse = "kiv_parse_bin: refusing to merge";
  const MergeCase cases[]{
      {"two files", "one", "two", 2, "out", 0, "merge file0_name:one\r\nmerge file1_name:two\r\n",
       "", one + two, false, false},
      {"first only", "one", "two", 1, "out", 0, "merge file0_name:one\r\n", "", one, false, true},
      {"none", "one", "two", 0, "out", 0, "", "", "", true, true},
      {"same file twice", "one", "one", 2, "out", 1, "merge file0_name:one\r\nfopen one failed\r\n",
       "", one, false, true},
      // Every listed file is looked at before the output is touched.
      {"missing file", "gone", "two", 2, "out", 1, "fopen gone failed\r\n", "", "-", true, true},
      {"missing second file", "one", "gone", 2, "out", 1, "fopen gone failed\r\n", "", "-", true,
       true},
      {"run again once finished", "gone", "gone", 2, "out", 1, "fopen gone failed\r\n", "",
       "the joined files", true, true, "the joined files"},
      {"the first left aside by a stopped run", "aside", "two", 2, "out", 1,
       "fopen aside failed\r\n",
       "kiv_parse_bin: a stopped run left aside as .aside.kiv_parse_bin-77-0: rename it back to "
       "merge it\n",
       "the first file", true, true, "the first file"},
      {"output can't be created", "one", "two", 2, "no/out", 1, "",
       "Couldn't create the output file \"no/out\"\n", "-", true, true},
      {"more files than named", "one", "two", 3, "out", 1, "", "kiv_parse_bin: cannot merge 3", "-",
       true, true},
      {"output is a joined file", "one", "two", 2, "one", 1, "", refuse, "-", true, true},
      {"output spelled ./two", "one", "two", 2, "./two", 1, "", refuse, "-", true, true},
      {"output is a hard link", "one", "two", 2, "hard", 1, "", refuse, "-", true, true},
      {"output is a symbolic link", "one", "two", 2, "soft", 1, "", refuse, "-", true, true},
      {"output on a full disk", "one", "two", 2, "/dev/full", 1, "merge file0_name:one\r\n",
       "kiv_parse_bin: cannot write /dev/full", "-", true, true},
      {"output can't be examined", "one", "two", 2, "loop", 1, "",
       "kiv_parse_bin: cannot examine loop: ", "-", true, true},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    ScratchDir dir;
    write_file(dir.path / "one", one);
    write_file(dir.path / "two", two);
    write_file(dir.path / ".aside.kiv_parse_bin-77-0", "what the first file was");
    if (!c.out_before.empty()) write_file(dir.path / c.output, c.out_before);
    fs::create_hard_link(dir.path / "one", dir.path / "hard");
    const bool linked =
        make_symlink("two", dir.path / "soft") && make_symlink("loop", dir.path / "loop");
    if (!linked && (c.output == std::string("soft") || c.output == std::string("loop"))) continue;

    if (c.output == std::string("/dev/full") && *full_device == '\0') continue;
    Outcome run = run_program(MERGE_RUNNER_EXE,
                              {c.first, c.second, std::to_string(c.count), c.output}, dir.path);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, console(c.out));
    EXPECT_TRUE(run.err.starts_with(console(c.err))) << run.err;
    EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
    const fs::path output = dir.path / c.output;
    if (c.joined == "-") {
      std::error_code not_a_file;  // a loop of links, say
      EXPECT_TRUE(!fs::is_regular_file(output, not_a_file) || read_file(output) == one ||
                  read_file(output) == two);
    } else {
      EXPECT_EQ(read_file(output), c.joined);
    }
    EXPECT_EQ(fs::exists(dir.path / "one"), c.first_kept);
    EXPECT_EQ(fs::exists(dir.path / "two"), c.second_kept);
    if (c.first_kept) {
      EXPECT_EQ(read_file(dir.path / "hard"), one);
    }
    if (c.second_kept) {
      EXPECT_EQ(read_file(dir.path / "two"), two);
    }
  }
}

}  // namespace
