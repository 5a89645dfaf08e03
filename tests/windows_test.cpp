// What holds only on Windows: the start-up expands wildcard patterns itself.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

TEST(Windows, StartUpExpandsWildcards) {
  ScratchDir dir;
  const std::string image = make_image(768, 16, 512);
  struct Case {
    const char* pattern;
    int status;
    std::string out_start;  // the first of standard output
  };
  const Case cases[]{
      {"a*.img", 0, "input header addr is 16,input file:a.img,"},        // one match: a normal run
      {"x?.img", 1, "[ERROR] input parameter num error, argc = 6\r\n"},  // two matches
      {"zz*.img", 1, "input header addr is 16,input file:zz*.img,"},     // none: kept as typed
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.pattern);
    for (const char* name : {"a.img", "x1.img", "x2.img"}) write_file(dir.path / name, image);
    Outcome run = run_tool({"16", c.pattern, "h.bin", "b.bin"}, dir.path);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(run.out.starts_with(console(c.out_start))) << run.out;
    EXPECT_EQ(read_file(dir.path / "x1.img"), image);
  }
}

}  // namespace

namespace {

// A name as the file system sees it; the tests' strings are UTF-8.
fs::path utf8(const std::string& name) { return fs::path(std::u8string(name.begin(), name.end())); }

TEST(Windows, NamesInAnyLanguage) {
  const std::string image_name = "固件-é.img", header = "头部 é.bin", body = "主体.bin";
  const std::string image = make_image(768, 16, 512);
  struct Case {
    const char* name;
    std::string image_arg, header_arg;
    int status;
  };
  const Case cases[]{
      {"as typed", image_name, header, 0},
      {"by a wildcard", "固件*.img", header, 0},
      {"the image again as the header", image_name, ".\\" + image_name, 1},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    ScratchDir dir;
    write_file(dir.path / utf8(image_name), image);
    Outcome run = run_tool({"16", c.image_arg, c.header_arg, body}, dir.path);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(run.out.starts_with("input header addr is 16,input file:" + image_name +
                                    ",output file1:" + c.header_arg + " output file2:" + body))
        << run.out;
    if (c.status == 0) {
      EXPECT_EQ(read_file(dir.path / utf8(header)) + read_file(dir.path / utf8(body)), image);
      EXPECT_FALSE(fs::exists(dir.path / utf8(image_name)));
    } else {
      EXPECT_TRUE(run.err.starts_with("kiv_parse_bin: refusing to overwrite the image")) << run.err;
      EXPECT_EQ(read_file(dir.path / utf8(image_name)), image);
    }
  }
}

}  // namespace
