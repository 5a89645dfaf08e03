// Joining files end to end: through a small program, since merge ends the
// process on failure, and in this process through kiv::merge.
#include <gtest/gtest.h>

#include "harness.h"
#include "kiv_parse_bin.h"

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
  kiv::Failure reason = kiv::Failure::none;  // what kiv::merge gives for it
};

// NOLINTNEXTLINE(cert-err58-cpp): made before the tests run; a failure there ends them
const std::string one = std::string(512, 'a') + "1", two = std::string(255, 'b') + "2";
const std::string refuse = "kiv_parse_bin: refusing to merge";  // NOLINT(cert-err58-cpp)

void PrintTo(const MergeCase& c, std::ostream* out) { *out << c.name; }

class Merging : public ::testing::TestWithParam<MergeCase> {
 protected:
  ScratchDir dir;
  void lay_out(const MergeCase& c) {
    for (const auto& entry : fs::directory_iterator(dir.path)) fs::remove_all(entry.path());
    write_file(dir.path / "one", one);
    write_file(dir.path / "two", two);
    write_file(dir.path / ".aside.kiv_parse_bin-77-0", "what the first file was");
    if (!c.out_before.empty()) write_file(dir.path / c.output, c.out_before);
    fs::create_hard_link(dir.path / "one", dir.path / "hard");
    linked = make_symlink("two", dir.path / "soft") && make_symlink("loop", dir.path / "loop");
  }
  // The files kept whole, and the output whole, as it was, or absent.
  void expect_kept(const MergeCase& c) {
    EXPECT_EQ(fs::exists(dir.path / "one"), c.first_kept);
    EXPECT_EQ(fs::exists(dir.path / "two"), c.second_kept);
    if (c.first_kept) {
      EXPECT_EQ(read_file(dir.path / "hard"), one);
    }
    if (c.second_kept) {
      EXPECT_EQ(read_file(dir.path / "two"), two);
    }
    const fs::path output = dir.path / c.output;
    std::error_code not_a_file;  // a loop of links, say
    if (c.joined == "-") {
      EXPECT_TRUE(!fs::is_regular_file(output, not_a_file) || read_file(output) == one ||
                  read_file(output) == two || read_file(output) == c.out_before);
    } else {
      EXPECT_EQ(read_file(output), c.joined);
    }
  }
  bool linked = false;
};

TEST_P(Merging, JoinsInOrderAndDeletesWhatItJoined) {
  const MergeCase& c = GetParam();
  lay_out(c);
  if (!linked && (c.output == std::string("soft") || c.output == std::string("loop")))
    GTEST_SKIP() << "no symbolic links here";
  if (c.output == std::string("/dev/full") && *full_device == '\0')
    GTEST_SKIP() << "no device here fails writes with a full disk";
  Outcome run = run_program(MERGE_RUNNER_EXE,
                            {c.first, c.second, std::to_string(c.count), c.output}, dir.path);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.out, console(c.out));
  EXPECT_TRUE(run.err.starts_with(console(c.err))) << run.err;
  EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
  expect_kept(c);

  if (c.count > 2) return;  // the command's record names two files at most
  lay_out(c);
  std::vector<std::filesystem::path> inputs{c.first, c.second};
  inputs.resize(c.count);
  const fs::path here = fs::current_path();
  fs::current_path(dir.path);
  const kiv::Result r = kiv::merge(inputs, c.output);
  fs::current_path(here);
  EXPECT_EQ(r.reason, c.reason) << r.message;
  EXPECT_EQ(static_cast<bool>(r), c.status != 0);
  expect_kept(c);
}

INSTANTIATE_TEST_SUITE_P(
    Merge, Merging,
    ::testing::Values(
        MergeCase{"two files", "one", "two", 2, "out", 0,
                  "merge file0_name:one\r\nmerge file1_name:two\r\n", "", one + two, false, false},
        MergeCase{"first only", "one", "two", 1, "out", 0, "merge file0_name:one\r\n", "", one,
                  false, true},
        MergeCase{"none", "one", "two", 0, "out", 0, "", "", "", true, true},
        MergeCase{"same file twice", "one", "one", 2, "out", 1,
                  "merge file0_name:one\r\nfopen one failed\r\n", "", one, false, true, "",
                  kiv::Failure::cannot_open},
        MergeCase{"missing file", "gone", "two", 2, "out", 1, "fopen gone failed\r\n", "", "-",
                  true, true, "", kiv::Failure::cannot_open},
        MergeCase{"missing second file", "one", "gone", 2, "out", 1, "fopen gone failed\r\n", "",
                  "-", true, true, "", kiv::Failure::cannot_open},
        MergeCase{"run again once finished", "gone", "gone", 2, "out", 1, "fopen gone failed\r\n",
                  "", "the joined files", true, true, "the joined files",
                  kiv::Failure::cannot_open},
        MergeCase{"the first left aside by a stopped run", "aside", "two", 2, "out", 1,
                  "fopen aside failed\r\n",
                  "kiv_parse_bin: a stopped run left aside as .aside.kiv_parse_bin-77-0: rename it "
                  "back to "
                  "merge it\n",
                  "the first file", true, true, "the first file", kiv::Failure::cannot_open},
        MergeCase{"output can't be created", "one", "two", 2, "no/out", 1, "",
                  "Couldn't create the output file \"no/out\"\n", "-", true, true, "",
                  kiv::Failure::cannot_create},
        MergeCase{"more files than named", "one", "two", 3, "out", 1, "",
                  "kiv_parse_bin: cannot merge 3", "-", true, true},
        MergeCase{"output is a joined file", "one", "two", 2, "one", 1, "", refuse, "-", true, true,
                  "", kiv::Failure::refused},
        MergeCase{"output spelled ./two", "one", "two", 2, "./two", 1, "", refuse, "-", true, true,
                  "", kiv::Failure::refused},
        MergeCase{"output is a hard link", "one", "two", 2, "hard", 1, "", refuse, "-", true, true,
                  "", kiv::Failure::refused},
        MergeCase{"output is a symbolic link", "one", "two", 2, "soft", 1, "", refuse, "-", true,
                  true, "", kiv::Failure::refused},
        MergeCase{"output on a full disk", "one", "two", 2, "/dev/full", 1,
                  "merge file0_name:one\r\n", "kiv_parse_bin: cannot write /dev/full", "-", true,
                  true, "", kiv::Failure::io},
        MergeCase{"output can't be examined", "one", "two", 2, "loop", 1, "",
                  "kiv_parse_bin: cannot examine loop: ", "-", true, true, "",
                  kiv::Failure::refused}),
    [](const auto& info) { return row_name(info.param.name); });

}  // namespace
