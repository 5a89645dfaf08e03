// The tool end to end: console bytes, files left behind and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"
#include "kiv_parse_bin.h"

namespace {

constexpr const char* echo_16 =
    "input header addr is 16,input file:a.img,output file1:h.bin output file2:b.bin\r\n";

struct Split : ::testing::Test {
  ScratchDir dir;
  fs::path at(const std::string& name) const { return dir.path / name; }
  bool exists(const std::string& name) const { return fs::exists(fs::symlink_status(at(name))); }
};

TEST_F(Split, WrongArgumentCountTouchesNothing) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases{
      {{}, 1}, {{"16", "a.img", "h.bin"}, 4}, {{"16", "a.img", "h.bin", "b.bin", "x"}, 6}};
  const std::string image = make_image(768, 16, 512);
  for (const auto& [args, count] : cases) {
    write_file(at("a.img"), image);
    Outcome run = run_tool(args, dir.path);
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(
        run.out,
        console("[ERROR] input parameter num error, argc = " + std::to_string(count) + "\r\n"));
    EXPECT_EQ(read_file(at("a.img")), image);
    EXPECT_FALSE(exists("h.bin") || exists("b.bin"));
  }
}

TEST_F(Split, CompleteRunPrintsExactlyFourLines) {
  write_file(at("a.img"), make_image(768, 16, 0x200));
  Outcome run = run_tool({"16", "a.img", "h.bin", "b.bin"}, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, console(std::string(echo_16) + "Header File Size:0x0200\r\n"
                                                    "begin create header file\r\n"
                                                    "End create header file\r\n"));
  EXPECT_EQ(run.err, "");
}

struct SplitCase {
  const char* name;
  std::size_t image_size;
  std::string offset_arg;
  std::uint32_t word_at;  // where the offset argument lands after conversion
  std::uint32_t word;
  const char* size_line;
};

TEST_F(Split, WritesHeaderAndBodyAndDeletesImage) {
  const SplitCase cases[]{
      {"typical", 768, "16", 16, 512, "0x0200"},
      {"empty header", 768, "16", 16, 0, "0x0000"},
      {"header is whole image", 768, "16", 16, 768, "0x0300"},
      {"header past the end pads 0xFF", 768, "16", 16, 1024, "0x0400"},
      {"five hex digits", 0x12400, "16", 16, 0x12345, "0x12345"},
      {"offset wraps at 16 bits", 70000, "65552", 16, 600, "0x0258"},
      {"negative offset wraps", 70000, "-1", 65535, 600, "0x0258"},
      {"leading blank", 768, " 16", 16, 512, "0x0200"},
      {"trailing letters", 768, "16abc", 16, 512, "0x0200"},
      {"no digits", 768, "abc", 0, 300, "0x012c"},
      {"hex is not read", 768, "0x10", 0, 300, "0x012c"},
      {"more digits than 64 bits", 768, "18446744073709551632", 16, 512, "0x0200"},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    const std::string image = make_image(c.image_size, c.word_at, c.word);
    write_file(at("a.img"), image);
    Outcome run = run_tool({c.offset_arg, "a.img", "h.bin", "b.bin"}, dir.path);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(console(std::string("Header File Size:") + c.size_line + "\r\n")),
              std::string::npos);
    const std::size_t split = std::min<std::size_t>(c.word, image.size());
    std::string header = image.substr(0, split);
    // cppcheck-suppress invalidFunctionArg ; a char of 0xFF is what the padding is
    header.resize(c.word, '\xFF');
    EXPECT_EQ(read_file(at("h.bin")), header);
    EXPECT_EQ(read_file(at("b.bin")), image.substr(split));
    EXPECT_FALSE(exists("a.img"));
  }
}

// The probe a program may call alone: the word, and the image left as it was.
TEST_F(Split, HeaderSizeWordAlone) {
  const std::string image = make_image(768, 40, 0xFFFFFE00);
  write_file(at("a.img"), image);
  EXPECT_EQ(Get_4Byte_FromSize(at("a.img").string().c_str(), 40), -512);
  EXPECT_EQ(read_file(at("a.img")), image);
}

TEST_F(Split, UnreadableHeaderSizeStopsBeforeAnyOutput) {
  enum Made { file, none, folder, fifo, leftover };
  struct Case {
    const char* name;
    Made made;
    std::string image;  // what the image holds where it is a file
    std::string reason;
    std::string image_name = "a.img";
    std::string left = ".a.img.kiv_parse_bin-4367-0";  // where a leftover is made
  };
  const std::string not_file = "kiv_parse_bin: refusing to split a.img: not a regular file\n";
  // Too long for the usual name beside it: the tool's short one, with a hash of the name.
  const std::string long_name(250, 'i');
  const Case cases[]{
      {"missing image", none, "", "kiv_parse_bin: cannot open a.img: "},
      {"image is a directory", folder, "", not_file},
      {"image is a FIFO", fifo, "", not_file},
      {"image ends inside the word", file, make_image(18, 16, 512),
       "kiv_parse_bin: a.img ends before its header size word at offset 16"},
      {"image left aside by a stopped run", leftover, "",
       "kiv_parse_bin: cannot open a.img: No such file or directory (a stopped run left it as "
       ".a.img.kiv_parse_bin-4367-0: rename it back to split it)\n"},
      {"image with a long name left aside", leftover, "",
       "kiv_parse_bin: cannot open " + long_name +
           ": No such file or directory (a stopped run left "
           "it as .kiv_parse_bin-cd889e9f-4367-0: rename it back to split it)\n",
       long_name, ".kiv_parse_bin-cd889e9f-4367-0"},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    for (const auto& entry : fs::directory_iterator(dir.path)) fs::remove_all(entry.path());
    if (c.made == folder) fs::create_directory(at(c.image_name));
    if (c.made == file) write_file(at(c.image_name), c.image);
    if (c.made == leftover) write_file(at(c.left), "x");
    if (c.made == fifo && !make_fifo(at(c.image_name))) continue;
    Outcome run = run_tool({"16", c.image_name, "h.bin", "b.bin"}, dir.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, console("input header addr is 16,input file:" + c.image_name +
                               ",output file1:h.bin output file2:b.bin\r\n"));
    EXPECT_TRUE(run.err.starts_with(console(c.reason))) << run.err;
    if (c.made == file) {
      EXPECT_EQ(read_file(at(c.image_name)), c.image);
    }
    EXPECT_EQ(exists(c.image_name), c.made != none && c.made != leftover);
    EXPECT_FALSE(exists("h.bin") || exists("b.bin"));
  }
}

// What an output holds after a failed run: what it held before (an output
// that was there keeps it; one that was not is still not there), the whole
// of its part of the image, or, for a device or a name that is not the
// test's own, anything.
enum class Left { old, complete, any };

struct FailureCase {
  const char* name;
  std::uint32_t word;
  std::string header_path, body_path;
  std::string out_tail;  // what standard output ends with
  std::string err;       // what standard error starts with
  Left header, body;
  kiv::Failure reason;  // what kiv::split gives for it
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

// Runs the row as the command, then again in this process through kiv::split:
// the image kept and every output old or whole, each time.
class SplitFailure : public Split, public ::testing::WithParamInterface<FailureCase> {
 protected:
  const std::string image = make_image(768, 16, GetParam().word);
  // An output the row names as h.bin or b.bin is there before the run.
  void lay_out() {
    for (const char* name : {"h.bin", "b.bin", "hard", "soft", "dangling", "loop"})
      fs::remove(at(name));
    write_file(at("h.bin"), "the old header");
    write_file(at("b.bin"), "the old body");
    write_file(at("a.img"), image);
    fs::create_hard_link(at("a.img"), at("hard"));
    linked = make_symlink("a.img", at("soft")) && make_symlink("loop", at("loop")) &&
             make_symlink("h.bin", at("dangling"));
  }
  void expect_left(const std::string& path, Left left, const std::string& whole, const char* old) {
    if (left == Left::any || (path != "h.bin" && path != "b.bin")) return;
    const std::string now = read_file(at(path));
    if (left == Left::complete) {
      EXPECT_EQ(now, whole) << path << " is not complete";
    } else {
      EXPECT_EQ(now, old) << path << " is not as it was";
    }
    EXPECT_TRUE(now == old || now == whole) << path << " is neither as it was nor whole";
  }
  bool linked = false;
};

TEST_P(SplitFailure, KeepsTheImageAndEachOutputOldOrWhole) {
  const FailureCase& c = GetParam();
  if ((c.header_path == "/dev/full" || c.body_path == "/dev/full") && *full_device == '\0')
    GTEST_SKIP() << "no device here fails writes with a full disk";
  const auto needs_link = [](const std::string& p) {
    return p.starts_with("soft") || p.starts_with("loop") || p == "dangling";
  };
  lay_out();
  if (!linked && (needs_link(c.header_path) || needs_link(c.body_path)))
    GTEST_SKIP() << "no symbolic links here";
  const std::string header = image.substr(0, std::min<std::size_t>(c.word, 768)),
                    body = image.substr(std::min<std::size_t>(c.word, 768));

  Outcome run = run_tool({"16", "a.img", c.header_path, c.body_path}, dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.ends_with(console(c.out_tail))) << run.out;
  EXPECT_TRUE(run.err.starts_with(console(c.err))) << run.err;
  EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
  EXPECT_EQ(read_file(at("a.img")), image);
  expect_left(c.header_path, c.header, header, "the old header");
  expect_left(c.body_path, c.body, body, "the old body");

  // The console's files are the command's alone.
  if (c.header_path.starts_with(".std") || c.body_path.starts_with(".std")) return;
  lay_out();
  const fs::path here = fs::current_path();
  fs::current_path(dir.path);
  std::string said;
  kiv::Callbacks hear;
  hear.line = [&](kiv::Stream, std::string_view line) {
    said += line;
    return std::error_code{};
  };
  const kiv::Result r = kiv::split(16, "a.img", c.header_path, c.body_path, hear);
  fs::current_path(here);
  EXPECT_TRUE(r) << "kiv::split reported no failure";
  EXPECT_EQ(r.reason, c.reason) << r.message;
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(read_file(at("a.img")), image);
  // Refused before anything is written: only the header may be new, and only whole.
  expect_left(c.header_path, Left::any, header, "the old header");
  expect_left(c.body_path, Left::old, body, "the old body");
  EXPECT_TRUE(said.starts_with("Header File Size:")) << said;
}

const std::string refuse = "kiv_parse_bin: refusing to ";  // NOLINT(cert-err58-cpp): a literal
using F = kiv::Failure;
INSTANTIATE_TEST_SUITE_P(
    Split, SplitFailure,
    ::testing::Values(
        FailureCase{"negative size", 0xFFFFFFFF, "h.bin", "b.bin",
                    "Header File Size:0xffffffff\r\nbegin create header file\r\nmalloc fail\r\n",
                    "", Left::old, Left::old, F::negative_size},
        FailureCase{"header directory missing", 512, "no/h.bin", "b.bin",
                    "begin create header file\r\n", "I couldn't open the file \"no/h.bin\"\n",
                    Left::old, Left::old, F::cannot_create},
        FailureCase{"body directory missing", 512, "h.bin", "no/b.bin",
                    "Open the file failure...\r\n", "", Left::complete, Left::old,
                    F::cannot_create},
        FailureCase{"header an empty path", 512, "", "b.bin", "begin create header file\r\n",
                    "I couldn't open the file \"\"\n", Left::old, Left::old, F::cannot_create},
        FailureCase{"body an empty path", 512, "h.bin", "", "Open the file failure...\r\n", "",
                    Left::complete, Left::old, F::cannot_create},
        FailureCase{"header on a full disk", 512, "/dev/full", "b.bin", "",
                    "kiv_parse_bin: cannot write /dev/full", Left::any, Left::old, F::io},
        FailureCase{"body on a full disk", 512, "h.bin", "/dev/full", "",
                    "kiv_parse_bin: cannot write /dev/full", Left::complete, Left::any, F::io},
        FailureCase{"header is the image", 512, "a.img", "b.bin", "",
                    refuse + "overwrite the image a.img with a.img", Left::any, Left::old,
                    F::refused},
        FailureCase{"body spelled ./a.img", 512, "h.bin", "./a.img", "", refuse + "overwrite",
                    Left::old, Left::any, F::refused},
        FailureCase{"header is a hard link", 512, "hard", "b.bin", "", refuse + "overwrite",
                    Left::any, Left::old, F::refused},
        FailureCase{"body is a symbolic link", 512, "h.bin", "soft", "", refuse + "overwrite",
                    Left::old, Left::any, F::refused},
        FailureCase{"outputs one file", 512, "h.bin", "./h.bin", "",
                    refuse + "write header and body to one file", Left::old, Left::old, F::refused},
        FailureCase{"header can't be examined", 512, "loop", "b.bin", "",
                    "kiv_parse_bin: cannot examine loop: ", Left::any, Left::old, F::refused},
        FailureCase{"body can't be examined", 512, "h.bin", "loop/b.bin", "",
                    "kiv_parse_bin: cannot examine loop/b.bin: ", Left::old, Left::any, F::refused},
        FailureCase{"body a dangling link to the header", 512, "h.bin", "dangling", "",
                    refuse + "write header and body to one file: h.bin and dangling", Left::old,
                    Left::any, F::refused},
        // The harness catches the console in .stdout and .stderr: lines would land among the bytes.
        FailureCase{"header is standard output", 512, ".stdout", "b.bin", "",
                    refuse + "write .stdout: it is also standard output", Left::any, Left::old,
                    F::refused},
        FailureCase{"body is standard error", 512, "h.bin", ".stderr", "",
                    refuse + "write .stderr: it is also standard error", Left::old, Left::any,
                    F::refused}),
    [](const auto& info) { return row_name(info.param.name); });

TEST_F(Split, NullDeviceTakesEitherOrBothOutputs) {
  const std::string null = null_device;
  const std::vector<std::pair<std::string, std::string>> cases{
      {null, "b.bin"}, {"h.bin", null}, {null, null}};
  const std::string image = make_image(768, 16, 512);
  for (const auto& [header, body] : cases) {
    SCOPED_TRACE(testing::Message() << header << " " << body);
    fs::remove(at("h.bin"));
    fs::remove(at("b.bin"));
    write_file(at("a.img"), image);
    Outcome run = run_tool({"16", "a.img", header, body}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(exists("a.img"));
    if (header == "h.bin") {
      EXPECT_EQ(read_file(at("h.bin")), image.substr(0, 512));
    }
    if (body == "b.bin") {
      EXPECT_EQ(read_file(at("b.bin")), image.substr(512));
    }
  }
}

TEST_F(Split, ErrorFollowsEarlierLinesInOneStream) {
  write_file(at("a.img"), make_image(768, 16, 512));
  Outcome run = run_tool({"16", "a.img", "no/h.bin", "b.bin"}, dir.path, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            console("input header addr is 16,input file:a.img,output file1:no/h.bin output "
                    "file2:b.bin\r\nHeader File Size:0x0200\r\nbegin create header file\r\n"
                    "I couldn't open the file \"no/h.bin\"\n"));
}

}  // namespace
