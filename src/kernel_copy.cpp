// Copies that stay inside the kernel, on POSIX systems that offer them: the
// bytes never pass through the tool. Which call copies fastest depends on the
// file system; see kernel_copy below for the choice and its figures.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#if HAVE_FSTATFS
#include <sys/vfs.h>
#endif

#include "faults.h"
#include "platform.h"

namespace {

#if HAVE_SPLICE
// Moves up to size bytes through a pipe of the tool's own; returns the count
// that reached `to`, 0 at the end of `from`, or -1. Bytes left in the pipe by a
// failed write go with the pipe, so the caller's offsets stay the truth.
std::int64_t pipe_copy(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                       std::size_t size) {
  static int pipe_fds[2] = {-1, -1};
  static bool grown = false;
  if (pipe_fds[0] < 0) {
    if (SYS(pipe2, pipe_fds, O_CLOEXEC) < 0) return -1;
    grown = false;
  }
  // A larger pipe means fewer calls for a large copy; a small one needs none
  // (64 KiB where refused).
  if (!grown && size > (std::size_t{64} << 10))
    grown = fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20) > 0;
  auto in = static_cast<off_t>(from_at), out = static_cast<off_t>(to_at);
  ssize_t filled;
  do filled = SYS(splice, from, &in, pipe_fds[1], nullptr, size, SPLICE_F_MOVE);
  while (filled < 0 && errno == EINTR);
  if (filled <= 0) return filled;
  ssize_t moved = 0;
  while (moved < filled) {
    ssize_t n = SYS(splice, pipe_fds[0], nullptr, to, &out,
                    static_cast<std::size_t>(filled - moved), SPLICE_F_MOVE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    moved += n;
  }
  if (moved < filled) {
    int saved = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    pipe_fds[0] = pipe_fds[1] = -1;
    errno = saved;
  }
  return moved > 0 ? moved : -1;
}
#endif

// Copies with copy_file_range, where the system has it; -1 with ENOSYS where not.
std::int64_t file_copy([[maybe_unused]] int from, [[maybe_unused]] std::uint64_t from_at,
                       [[maybe_unused]] int to, [[maybe_unused]] std::uint64_t to_at,
                       [[maybe_unused]] std::size_t size) {
#if HAVE_COPY_FILE_RANGE
  auto in = static_cast<off_t>(from_at), out = static_cast<off_t>(to_at);
  ssize_t n;
  do n = SYS(copy_file_range, from, &in, to, &out, size, 0);
  while (n < 0 && errno == EINTR);
  return n;
#else
  errno = ENOSYS;
  return -1;
#endif
}

#if HAVE_SPLICE
// True where copy_file_range beats the tool's pipe, for offsets at one place
// in a page: the file system shares blocks (XFS, btrfs, bcachefs, OCFS2, ZFS),
// the server copies (NFS, SMB, Ceph, FUSE), the call is handed on to another
// (overlayfs), or it measured faster (tmpfs). Elsewhere (ext4, FAT) Linux
// copies page by page through a small pipe of its own. Where the type can't
// be read, the kernel is left to choose.
bool file_copy_first([[maybe_unused]] int fd) {
#if HAVE_FSTATFS
  struct statfs fs {};
  if (SYS(fstatfs, fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFu) {
    case 0x58465342:  // XFS
    case 0x9123683E:  // btrfs
    case 0xCA451A4E:  // bcachefs
    case 0x7461636F:  // OCFS2
    case 0x2FC12FC1:  // ZFS
    case 0x00006969:  // NFS
    case 0xFE534D42:  // SMB2
    case 0xFF534D42:  // CIFS
    case 0x00C36400:  // Ceph
    case 0x65735546:  // FUSE
    case 0x794C7630:  // overlayfs
    case 0x01021994:  // tmpfs
      return true;
    default:
      return false;
  }
#else
  return true;
#endif
}
#endif

}  // namespace

// Measured on 1 GiB splits (2 cores, virtio disk, medians of 15 interleaved
// rounds, 2026-12-09), where both offsets stand at one place in a page:
// on ext4, 741 ms with copy_file_range and 699 with the pipe (the disk's own
// writeback of 1 GiB: 698); on tmpfs, 220 and 227. A copy of 1 GiB alone
// (medians of 9) on ext4 with writeback started every 4 MiB: copy_file_range
// 333 ms, 436 where the offsets stand at different places in a page; the
// pipe 291 and 306. Where blocks are shared, copy_file_range makes a 1 GiB
// body in 8 to 10 ms with no new space, and nothing else comes near it.
std::int64_t sys::kernel_copy(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                              std::size_t size) {
#if HAVE_SPLICE
  constexpr std::uint64_t page = 4096;
  if (from_at % page != to_at % page || !file_copy_first(to)) {
    return pipe_copy(from, from_at, to, to_at, size);
  }
  std::int64_t n = file_copy(from, from_at, to, to_at, size);
  return n >= 0 ? n
                : pipe_copy(from, from_at, to, to_at, size);  // declined: across file systems, say
#else
  return file_copy(from, from_at, to, to_at, size);
#endif
}
