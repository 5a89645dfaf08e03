// What the copy asks of the kernel on POSIX systems: copies that stay inside
// it (the bytes never pass through the tool), where a file's data lies, and
// space reserved before it is written.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#if HAVE_FSTATFS
#include <sys/vfs.h>
#endif

#include "faults.h"
#include "platform.h"

namespace {

#if HAVE_FALLOCATE
// True where copy_file_range of block-aligned ranges shares the blocks
// instead of copying them, so the copy needs no space of its own.
bool shares_blocks([[maybe_unused]] int fd) {
#if HAVE_FSTATFS
  struct statfs fs {};
  if (SYS(fstatfs, fd, &fs) != 0) return true;  // can't tell: reserve nothing rather than too much
  const unsigned long type = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFu;
  // XFS, btrfs, bcachefs, OCFS2, ZFS
  for (const unsigned long sharing :
       {0x58465342u, 0x9123683Eu, 0xCA451A4Eu, 0x7461636Fu, 0x2FC12FC1u})
    if (type == sharing) return true;
#endif
  return false;
}
#endif

#if HAVE_F_SETPIPE_SZ
// Off a block, copy_file_range writes each page of `to` in two pieces; moved
// through a pipe of 256 KiB the same pages went faster, warm and cold (a
// larger pipe was slower cold): docs/BENCHMARK.md. -1 where it can't be had.
std::int64_t through_pipe(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                          std::size_t size) {
  constexpr int wanted = 256 << 10;
  int ends[2];
  if (SYS(pipe2, ends, O_CLOEXEC) != 0) return -1;
  // A user past the pipe buffers' soft limit gets a page: then copy_file_range does better.
  const bool sized = fcntl(ends[1], F_SETPIPE_SZ, wanted) >= wanted;
  auto in = static_cast<loff_t>(from_at), out = static_cast<loff_t>(to_at);
  std::int64_t done = sized ? 0 : -1;
  while (done >= 0 && static_cast<std::size_t>(done) < size) {
    const std::size_t want = std::min(size - static_cast<std::size_t>(done), std::size_t{wanted});
    const ssize_t got = retried([&] { return SYS(splice, from, &in, ends[1], nullptr, want, 0); });
    if (got <= 0) {
      done = got < 0 && done == 0 ? -1 : done;  // the end of `from`, or a failure
      break;
    }
    for (ssize_t left = got; left > 0 && done >= 0;) {
      const ssize_t put = retried([&] {
        return SYS(splice, ends[0], nullptr, to, &out, static_cast<std::size_t>(left), 0);
      });
      // The caller writes again from to_at + done: nothing of this stretch counts.
      if (put <= 0) done = -1;
      left -= put;
    }
    if (done >= 0) done += got;
  }
  close(ends[0]);
  close(ends[1]);
  return done;
}
#endif

}  // namespace

// copy_file_range for every pair of regular files: where blocks can be shared
// it shares them, elsewhere it copies in the kernel, and what it declines
// (across file systems on some kernels) the caller copies. Off a block, a pipe
// first where the system has one to size. Measured against each other and
// against reading and writing blocks: docs/BENCHMARK.md.
std::int64_t sys::kernel_copy([[maybe_unused]] int from, [[maybe_unused]] std::uint64_t from_at,
                              [[maybe_unused]] int to, [[maybe_unused]] std::uint64_t to_at,
                              [[maybe_unused]] std::size_t size) {
#if HAVE_F_SETPIPE_SZ
  if (from_at % 4096 != 0 || to_at % 4096 != 0) {
    const std::int64_t n = through_pipe(from, from_at, to, to_at, size);
    if (n > 0) return n;
  }
#endif
#if HAVE_COPY_FILE_RANGE
  auto in = static_cast<off_t>(from_at), out = static_cast<off_t>(to_at);
  return retried([&] { return SYS(copy_file_range, from, &in, to, &out, size, 0); });
#else
  errno = ENOSYS;
  return -1;
#endif
}

void sys::find_data([[maybe_unused]] int fd, std::uint64_t at, std::uint64_t& start,
                    std::uint64_t& end) {
  constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
  start = at;
  end = none;
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
  // lseek moves the descriptor's offset, which no copy reads.
  off_t data = SYS(lseek, fd, static_cast<off_t>(at), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) start = none;  // a hole to the end; elsewhere no holes are known
    return;
  }
  off_t hole = SYS(lseek, fd, data, SEEK_HOLE);
  start = static_cast<std::uint64_t>(data);
  if (hole > data) end = static_cast<std::uint64_t>(hole);
#endif
}

int sys::reserve_space([[maybe_unused]] int from, [[maybe_unused]] std::uint64_t from_at,
                       [[maybe_unused]] int to, [[maybe_unused]] std::uint64_t to_at,
                       [[maybe_unused]] std::uint64_t length) {
#if HAVE_FALLOCATE
  constexpr std::uint64_t block = 4096;
  // A copy that will share the image's blocks needs none of its own.
  if (from >= 0 && from_at % block == 0 && to_at % block == 0 && shares_blocks(to)) return 0;
  const int rc = retried([&] {
    return SYS(fallocate, to, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(to_at),
               static_cast<off_t>(length));
  });
  // Only a reservation that can't fit says anything; one the file system can't make is none.
  return rc == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) ? 0 : -1;
#else
  return 0;
#endif
}
