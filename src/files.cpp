#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "console.h"
#include "identity.h"
#include "platform.h"
#include "progress.h"

Output open_output(const char* path) {
  Output out{.fd = sys::open_output(path, true),
             .path = path,
             .opened = {},
             .size = 0,
             .written = {},
             .watch = -1,
             .others_only = false,
             .read_back = nothing_read_back};
  if (out.fd < 0 && errno == ETIMEDOUT) {
    warn("waiting for a reader of %s", path);
    out.fd = sys::open_output(path, false);
  }
  // Where the system keeps a held output from other writers (Windows), another run holds it.
  if (out.fd < 0 && errno == EBUSY) warn("waiting for %s: another program has it open", path);
  while (out.fd < 0 && errno == EBUSY) {
    sys::sleep_ms(100);
    out.fd = sys::open_output(path, false);
  }
  if (out.fd < 0) return out;
  out.opened = examine_open(out.fd, path);
  return out;
}

bool holds(const Output& out, std::uint64_t at, const Input* from, std::uint64_t from_at,
           std::uint64_t length, int fill, std::uint64_t& hash) {
  // Read through a descriptor of its own, checked to reach the file written.
  const Input back{.fd = sys::open_input(out.path), .path = out.path};
  if (back.fd < 0) fail_errno("cannot read", out.path);
  if (!same_file(examine_open(back.fd, out.path), out.opened)) {
    close_input(back);
    return false;
  }
  constexpr std::size_t block = std::size_t{1} << 16;
  std::vector<unsigned char> theirs(block), ours(block);
  bool same = true;
  std::uint64_t done = 0;
  while (same && done < length) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, block));
    std::int64_t got = sys::read_at(back.fd, theirs.data(), want, at + done);
    if (got < 0) fail_errno("cannot read", out.path);
    if (got == 0) break;  // shorter than written
    const auto n = static_cast<std::size_t>(got);
    for (std::size_t i = 0; i < n; ++i) hash = (hash ^ theirs[i]) * 1099511628211u;
    if (from == nullptr && fill < 0) {
      std::copy_n(theirs.begin(), n, ours.begin());
    } else if (from == nullptr) {
      std::fill_n(ours.begin(), n, static_cast<unsigned char>(fill));
    } else {
      std::size_t have = 0;
      while (have < n) {
        std::int64_t r =
            sys::read_at(from->fd, ours.data() + have, n - have, from_at + done + have);
        if (r < 0) fail_errno("cannot read", from->path);
        if (r == 0) break;
        have += static_cast<std::size_t>(r);
      }
      if (have < n) same = false;
    }
    same = same && std::memcmp(theirs.data(), ours.data(), n) == 0;
    done += n;
  }
  close_input(back);
  return same && done == length;
}

void sync_output(const Output& out) {
  progress_syncing();
  if (sys::sync_file(out.fd) < 0) fail_errno("cannot sync", out.path);
}

void close_input(const Input& in) {
  if (sys::close_file(in.fd) < 0) fail_errno("cannot close", in.path);
}

void close_output(const Output& out) {
  if (sys::close_file(out.fd) < 0) fail_errno("cannot close", out.path);
}
