#include "copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform.h"

namespace {

constexpr std::size_t block_size = std::size_t{1} << 20;
// Writeback of each such stretch starts as soon as it is copied, so the disk
// works while the copy goes on and the final sync has little left to wait for.
constexpr std::uint64_t writeback_stride = std::uint64_t{4} << 20;

kiv::Result io(const char* action, const std::string& path, int error) {
  return failed(kiv::Failure::io, action, path, error);
}

unsigned char* block_of(Run& run) {
  if (!run.block) run.block.reset(new (std::nothrow) unsigned char[block_size]);
  return run.block.get();
}

void count(Run& run, std::uint64_t bytes) {
  run.done += bytes;
  if (run.callbacks.progress) run.callbacks.progress(run.done, run.total, false);
}

kiv::Result write_all(Output& to, const unsigned char* data, std::size_t size) {
  // Pipes and devices such as /dev/null take bytes where they stand; files and disks at an offset.
  const bool positioned = to.before.kind == Kind::file || to.before.kind == Kind::disk;
  while (size > 0) {
    std::int64_t n =
        positioned ? sys::write_at(to.fd, data, size, to.size) : sys::write_next(to.fd, data, size);
    if (n == 0) errno = EIO;  // no progress would loop for ever
    if (n <= 0) return io("cannot write", to.path, errno);
    data += n;
    size -= static_cast<std::size_t>(n);
    to.size += static_cast<std::uint64_t>(n);
  }
  return {};
}

// Copies up to length bytes of data from `from` at `at` to the end of `to`;
// copied gets the count, short where from ends. in_kernel drops to false for
// the rest of the copy once the kernel declines these files.
kiv::Result copy_stretch(Run& run, const Input& from, std::uint64_t at, Output& to,
                         std::uint64_t length, bool& in_kernel, std::uint64_t& since_writeback,
                         std::uint64_t& copied) {
  copied = 0;
  while (copied < length) {
    std::uint64_t want = std::min(length - copied, writeback_stride);
    std::uint64_t n;
    if (in_kernel) {
      std::int64_t done = sys::kernel_copy(from.fd, at + copied, to.fd, to.size, want);
      if (done <= 0) {
        // Declined, failed, or stopped short: the block loop carries on from
        // the same offsets and tells the real end and which file failed.
        in_kernel = false;
        continue;
      }
      n = static_cast<std::uint64_t>(done);
      to.size += n;
    } else {
      unsigned char* block = block_of(run);
      if (block == nullptr)
        return failed(kiv::Failure::no_memory, ENOMEM, to.path, "out of memory");
      std::int64_t got =
          sys::read_at(from.fd, block, std::min<std::uint64_t>(want, block_size), at + copied);
      if (got < 0) return io("cannot read", from.path, errno);
      if (got == 0) break;
      n = static_cast<std::uint64_t>(got);
      if (kiv::Result r = write_all(to, block, static_cast<std::size_t>(n))) return r;
    }
    copied += n;
    count(run, n);
    since_writeback += n;
    if (since_writeback >= writeback_stride && to.before.kind == Kind::file) {
      sys::start_writeback(to.fd, to.size - since_writeback, since_writeback);
      since_writeback = 0;
    }
  }
  return {};
}

}  // namespace

kiv::Result copy_data(Run& run, const Input& from, std::uint64_t at, Output& to,
                      std::uint64_t limit, std::uint64_t& copied) {
  // A file keeps holes: only the data of the input is copied, and each hole
  // of it becomes one of the output's. Pipes and devices get every byte.
  const bool file = to.before.kind == Kind::file;  // a new output too
  const std::uint64_t end = at + limit;
  // The stretch of data at or after pos, within end; start >= end where only a hole is left.
  const auto next = [&](std::uint64_t pos, std::uint64_t& start, std::uint64_t& stop) {
    start = pos;
    stop = end;
    if (file) sys::find_data(from.fd, pos, start, stop);
    stop = std::min(stop, end);
  };
  // All the space the data will need, before a byte of it is written: a copy
  // that can't fit fails now, not with the disk full.
  for (std::uint64_t pos = at, start = 0, stop = 0; file && pos < end; pos = stop) {
    next(pos, start, stop);
    if (start >= end) break;
    if (sys::reserve_space(from.fd, start, to.fd, to.size + (start - at), stop - start) != 0)
      return io("cannot write", to.path, errno);
  }
  bool in_kernel = file;  // the kernel copies only between regular files
  std::uint64_t since_writeback = 0, done = at;
  while (done < end) {
    std::uint64_t start = 0, stop = 0, n = 0;
    next(done, start, stop);
    if (start >= end) break;
    to.size += start - done;  // the hole before it, left a hole
    count(run, start - done);
    if (kiv::Result r =
            copy_stretch(run, from, start, to, stop - start, in_kernel, since_writeback, n))
      return r;
    done = start + n;
    if (n < stop - start) {  // `from` ended
      copied = done - at;
      return {};
    }
  }
  if (done < end) {
    // A hole runs to the end of the file: up to its size, as it is now.
    const FileIdentity now = sys::identify_open(from.fd);
    if (now.error != 0) return io("cannot read", from.path, now.error);
    const std::uint64_t file_end = std::clamp(now.size, done, end);
    to.size += file_end - done;
    count(run, file_end - done);
    // The output ends in that hole: its size says so. Only then: XFS, like
    // ext4, flushes a truncated file at its close, a sync nobody asked for
    // that would hide a missing one.
    if (file_end > done && sys::set_size(to.fd, to.size) < 0)
      return io("cannot write", to.path, errno);
    done = file_end;
  }
  copied = done - at;
  return {};
}

kiv::Result write_fill(Run& run, Output& to, unsigned char byte, std::uint64_t count_left) {
  unsigned char* block = block_of(run);
  if (block == nullptr) return failed(kiv::Failure::no_memory, ENOMEM, to.path, "out of memory");
  std::memset(block, byte,
              static_cast<std::size_t>(std::min<std::uint64_t>(count_left, block_size)));
  while (count_left > 0) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count_left, block_size));
    if (kiv::Result r = write_all(to, block, n)) return r;
    count(run, n);
    count_left -= n;
  }
  return {};
}
