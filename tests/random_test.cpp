// Seeded random images, offsets and header sizes, each split checked against
// slices of the original.
#include <gtest/gtest.h>

#include <random>

#include "harness.h"

namespace {

TEST(Random, SplitsMatchSlicesOfTheImage) {
  // Fixed, so a failure can be run again.
  std::mt19937 random(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  auto below = [&](std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random);
  };
  ScratchDir dir;
  for (int round = 0; round < 300; ++round) {
    const std::size_t size = below(4) == 0   ? below(64)
                             : below(4) == 0 ? below(3 << 20)
                                             : below(8192);
    const auto offset = static_cast<std::uint32_t>(below(std::min<std::size_t>(size + 8, 0x10000)));
    const std::uint64_t offset_arg = offset + 0x10000 * below(3);  // the same offset, wrapped
    std::uint32_t word;
    switch (below(5)) {
      case 0:
        word = static_cast<std::uint32_t>(size);
        break;
      case 1:
        word = 0x80000000u | static_cast<std::uint32_t>(below(0x80000000u));
        break;  // negative
      default:
        word = static_cast<std::uint32_t>(below(size + 5000));
        break;
    }
    const std::string image = make_image(size, offset, word);
    SCOPED_TRACE(testing::Message() << "round " << round << ": size " << size << ", offset "
                                    << offset << ", word " << word);
    write_file(dir.path / "a.img", image);
    fs::remove(dir.path / "h.bin");
    fs::remove(dir.path / "b.bin");

    Outcome run = run_tool({std::to_string(offset_arg), "a.img", "h.bin", "b.bin"}, dir.path);
    const bool word_fits = offset + 4 <= size;
    const auto header_size = static_cast<std::int32_t>(word);
    if (!word_fits || header_size < 0) {
      ASSERT_EQ(run.status, 1);
      ASSERT_EQ(read_file(dir.path / "a.img"), image);
      ASSERT_FALSE(fs::exists(dir.path / "h.bin") || fs::exists(dir.path / "b.bin"));
      continue;
    }
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t split = std::min<std::size_t>(word, size);
    std::string header = image.substr(0, split);
    // cppcheck-suppress invalidFunctionArg ; a char of 0xFF is what the padding is
    header.resize(word, '\xFF');
    ASSERT_EQ(read_file(dir.path / "h.bin"), header);
    ASSERT_EQ(read_file(dir.path / "b.bin"), image.substr(split));
    ASSERT_FALSE(fs::exists(dir.path / "a.img"));
  }
}

}  // namespace
