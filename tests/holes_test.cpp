// Sparse images: only the data is copied, and the outputs keep the holes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "child.h"
#include "harness.h"

namespace {

constexpr std::uint64_t mib = 1 << 20;

// Bytes the file takes on its file system.
std::uint64_t allocated(const fs::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

// A file of size bytes, a hole but for the stretches given (offset, length),
// each of make_image's pattern; returns its bytes as a reader sees them.
std::string make_sparse(const fs::path& path, std::uint64_t size,
                        const std::vector<std::pair<std::uint64_t, std::uint64_t>>& data) {
  std::string bytes(size, '\0');
  { std::ofstream out(path, std::ios::binary | std::ios::trunc); }
  fs::resize_file(path, size);
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  for (const auto& [at, length] : data) {
    const std::string part = make_image(length, 0, static_cast<std::uint32_t>(at));
    file.seekp(static_cast<std::streamoff>(at));
    file.write(part.data(), static_cast<std::streamsize>(length));
    bytes.replace(at, length, part);
  }
  return bytes;
}

TEST(Holes, OutputsKeepTheImagesHoles) {
  struct Case {
    const char* name;
    std::uint64_t size;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> data;  // the first holds the word at 16
    std::uint32_t header;
  };
  const Case cases[]{
      {"data, hole, data", 64 * mib, {{0, mib}, {48 * mib, mib}}, 0x1234},
      {"a hole at the end", 64 * mib, {{0, mib}}, 0x1000},
      {"the header ends in a hole", 64 * mib, {{0, mib}, {40 * mib, mib}}, 8 * mib + 5},
      {"the header past the end, after a hole", 16 * mib, {{0, mib}}, 20 * mib},
      {"the body a hole", 32 * mib, {{0, mib}}, 2 * mib},
  };
  for (const auto& c : cases) {
    TABLE_ROW(c.name);
    ScratchDir dir;
    std::string image = make_sparse(dir.path / "a.img", c.size, c.data);
    for (int k = 0; k < 4; ++k) image[16 + k] = static_cast<char>((c.header >> (8 * k)) & 0xFF);
    {
      std::fstream file(dir.path / "a.img", std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(16);
      file.write(image.data() + 16, 4);
    }
    std::uint64_t data_bytes = 0;
    for (const auto& d : c.data) data_bytes += d.second;
    if (allocated(dir.path / "a.img") > data_bytes + mib) {
      std::printf("skipped %s: this file system keeps no holes\n", c.name);
      continue;
    }
    Outcome run = run_tool({"16", "a.img", "h.bin", "b.bin"}, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
    std::string header = image.substr(0, std::min<std::uint64_t>(c.header, c.size));
    // cppcheck-suppress invalidFunctionArg ; a char of 0xFF is what the padding is
    header.resize(c.header, '\xFF');
    EXPECT_TRUE(read_file(dir.path / "h.bin") == header);
    EXPECT_TRUE(read_file(dir.path / "b.bin") ==
                image.substr(std::min<std::uint64_t>(c.header, c.size)));
    // Each output takes its data, its padding and a little more: never the holes.
    const std::uint64_t padding = c.header > c.size ? c.header - c.size : 0;
    EXPECT_LE(allocated(dir.path / "h.bin") + allocated(dir.path / "b.bin"),
              data_bytes + padding + 2 * mib);
  }
}

TEST(Holes, MergeKeepsThemToo) {
  ScratchDir dir;
  const std::string one = make_sparse(dir.path / "one", 32 * mib, {{mib, mib}});
  const std::string two = make_sparse(dir.path / "two", 32 * mib, {{30 * mib, mib}});
  if (allocated(dir.path / "one") > 2 * mib) GTEST_SKIP() << "this file system keeps no holes";
  Outcome run = run_program(MERGE_RUNNER_EXE, {"one", "two", "2", "out"}, dir.path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(read_file(dir.path / "out") == one + two);
  EXPECT_LE(allocated(dir.path / "out"), 4 * mib);
}

// A body off a block goes through a pipe where the system has one; a pipe
// that fails at any point leaves the rest to the other copies, which write
// again from where the last whole stretch ended.
TEST(Copies, ABodyOffABlockSurvivesAPipeThatFails) {
  const std::string image = make_image(3 * mib + 123, 16, 0x1234);
  for (const char* faults : {"splice:EINVAL", "splice#1:ENOSYS", "splice#2:EIO", "splice#4:EIO",
                             "splice#7:ENOSPC", "pipe2:EMFILE"}) {
    TABLE_ROW(faults);
    ScratchDir dir;
    write_file(dir.path / "a.img", image);
    Outcome run = run_child(
        [&] {
          exec_faulted(faults, {"16", "a.img", "h.bin", "b.bin"});
        },
        dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_file(dir.path / "h.bin") == image.substr(0, 0x1234));
    EXPECT_TRUE(read_file(dir.path / "b.bin") == image.substr(0x1234));
  }
}

}  // namespace
