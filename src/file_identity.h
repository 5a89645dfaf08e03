// What the tool knows of a file: enough to tell whether two names or
// descriptors reach one file, whether a file changed since it was recorded,
// and what a replacement must keep of it.
#pragma once

#include <cstdint>

// What a file is, as far as writing, syncing and removing it go.
enum class Kind : std::uint8_t {
  file,    // a regular file: its size is what it holds
  folder,  // a directory
  disk,    // a block device, or a character device that answers a disk's size request
  pipe,    // a pipe, FIFO or socket: bytes pass through, nothing is kept
  device,  // a character device that keeps nothing: /dev/null, a terminal
};

struct FileIdentity {
  // 0 where the name reaches a file; ENOENT where nothing is there yet;
  // otherwise (an errno value) why it can't be examined.
  int error = 0;
  Kind kind = Kind::file;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;  // 0: a pipe or device the system can't tell apart
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write, in nanoseconds (Windows: its own units)
  // Last change of data or attributes; unlike the above, no user can set it.
  std::int64_t changed = 0;
  unsigned mode = 0;  // permission bits
  std::uint32_t owner = 0, group = 0;
  std::uint64_t links = 1;  // names it has
};

// True for what keeps no bytes of its own: pipes and devices such as /dev/null.
inline bool keeps_nothing(const FileIdentity& id) {
  return id.kind == Kind::pipe || id.kind == Kind::device;
}

// True when a and b are one file (both exist).
inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.error == 0 && b.error == 0 && a.inode != 0 && a.device == b.device && a.inode == b.inode;
}

// True when now is the file `then` recorded, unchanged since: the same file,
// size and times. A pipe or a device keeps nothing that could change, so
// being the same one is enough (or, where the system can't tell them apart,
// being one still).
inline bool unchanged(const FileIdentity& now, const FileIdentity& then) {
  if (now.error != 0) return false;
  if (keeps_nothing(then))
    return now.kind == then.kind && (then.inode == 0 || same_file(now, then));
  return same_file(now, then) && now.size == then.size && now.modified == then.modified &&
         now.changed == then.changed;
}
