// What the tool knows of a file: enough to tell whether two names or
// descriptors reach one file, and whether a file changed since it was seen.
#pragma once

#include <cstdint>

// What a file is, as far as overwriting, syncing and removing it go.
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
  // The file, or where nothing is there yet, the directory that would hold it
  // (both 0 where that directory does not exist either, so nothing can be made there).
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write, in the system's own units
  // Last change of data or attributes; unlike the above, no user can set it.
  std::int64_t changed = 0;
  const char* name = nullptr;  // where nothing is there yet: the last component of the path
};

// True for what keeps no bytes of its own: pipes and devices such as /dev/null.
inline bool keeps_nothing(const FileIdentity& id) {
  return id.kind == Kind::pipe || id.kind == Kind::device;
}
