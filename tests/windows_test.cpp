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
    SCOPED_TRACE(c.pattern);
    for (const char* name : {"a.img", "x1.img", "x2.img"}) write_file(dir.path / name, image);
    Outcome run = run_tool({"16", c.pattern, "h.bin", "b.bin"}, dir.path);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(run.out.starts_with(console(c.out_start))) << run.out;
    EXPECT_EQ(read_file(dir.path / "x1.img"), image);
  }
}

}  // namespace
