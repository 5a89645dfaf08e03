// Images past 2 and 4 GiB. The image is sparse; the body, a real file of about
// 4 GiB, is checked at the edges a 32-bit offset would get wrong.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "harness.h"

namespace {

TEST(Large, SplitsPastFourGiB) {
  ScratchDir dir;
  constexpr std::uint64_t gib = std::uint64_t{1} << 30;
  constexpr std::uint64_t size = 4 * gib + (8 << 20);
  constexpr std::uint32_t header_size = 0x1000;
  if (fs::space(dir.path).available < size + 2 * gib) GTEST_SKIP() << "needs 6 GiB of free disk";
  const std::map<std::uint64_t, std::string> marks{{header_size, "start"},
                                                   {2 * gib - 3, "two-gib"},
                                                   {4 * gib - 3, "four-gib"},
                                                   {size - 3, "end"}};
  const fs::path image = dir.path / "a.img";
  write_file(image, make_image(header_size, 16, header_size));
  fs::resize_file(image, size - 3);
  {
    std::fstream out(image, std::ios::in | std::ios::out | std::ios::binary);
    for (const auto& [at, text] : marks) out.seekp(static_cast<std::streamoff>(at)) << text;
  }
  ASSERT_EQ(fs::file_size(image), size);

  Outcome run = run_tool({"16", "a.img", "h.bin", "b.bin"}, dir.path);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(fs::exists(image));
  EXPECT_EQ(fs::file_size(dir.path / "h.bin"), header_size);
  ASSERT_EQ(fs::file_size(dir.path / "b.bin"), size - header_size);
  std::ifstream body(dir.path / "b.bin", std::ios::binary);
  for (const auto& [at, text] : marks) {
    std::string seen(text.size(), '\0');
    body.seekg(static_cast<std::streamoff>(at - header_size))
        .read(seen.data(), static_cast<std::streamsize>(seen.size()));
    EXPECT_EQ(seen, text) << "at image offset " << at;
  }
}

}  // namespace
