// Images past 2 and 4 GiB. The image is sparse and the body is read back
// through a pipe, so the test needs almost no disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "child.h"

namespace {

TEST(Large, SplitsPastFourGiB) {
  ScratchDir dir;
  constexpr std::uint64_t gib = std::uint64_t{1} << 30;
  constexpr std::uint64_t size = 4 * gib + (8 << 20);
  constexpr std::uint32_t header_size = 0x1000;
  // Marks at the edges a 32-bit offset would get wrong; everything else is a hole.
  const std::map<std::uint64_t, std::string> marks{{header_size, "start"},
                                                   {2 * gib - 3, "two-gib"},
                                                   {4 * gib - 3, "four-gib"},
                                                   {size - 3, "end"}};
  {
    const fs::path image = dir.path / "a.img";
    write_file(image, make_image(header_size, 16, header_size));
    fs::resize_file(image, size - 3);
    int fd = open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (const auto& [at, text] : marks) {
      ASSERT_EQ(pwrite(fd, text.data(), text.size(), static_cast<off_t>(at)),
                static_cast<ssize_t>(text.size()));
    }
    close(fd);
    ASSERT_EQ(fs::file_size(image), size);
  }
  ASSERT_EQ(mkfifo((dir.path / "body").c_str(), 0600), 0);
  int body = open((dir.path / "body").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(body, 0);
  fcntl(body, F_SETPIPE_SZ, 1 << 20);

  pid_t pid = start_child([] { exec_tool({"16", "a.img", "h.bin", "body"}); }, dir.path);
  // Until the tool opens the pipe, a read would see the end at once.
  pollfd ready{body, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 60000), 1) << "the body never started";
  fcntl(body, F_SETFL, 0);
  // Reads the body to its end, keeping the bytes around each mark.
  std::string chunk(1 << 20, '\0');
  std::map<std::uint64_t, std::string> seen;
  std::uint64_t offset = header_size;  // image offset of the next body byte
  for (;;) {
    ssize_t n = read(body, chunk.data(), chunk.size());
    ASSERT_GE(n, 0);
    if (n == 0) break;
    for (const auto& [at, text] : marks) {
      for (std::uint64_t i = std::max(at, offset); i < at + text.size() && i < offset + n; ++i) {
        seen[at] += chunk[i - offset];
      }
    }
    offset += static_cast<std::uint64_t>(n);
  }
  close(body);
  Outcome run = wait_child(pid, dir.path);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(offset, size) << "body length " << offset - header_size;
  EXPECT_EQ(seen, marks);
  EXPECT_EQ(fs::file_size(dir.path / "h.bin"), header_size);
  EXPECT_FALSE(fs::exists(dir.path / "a.img"));
}

}  // namespace
