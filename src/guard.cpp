#include "guard.h"

#include <cerrno>
#include <cstring>

#include "fail.h"

namespace {

[[noreturn]] void changed(const char* path) {
  fail(stderr, "kiv_parse_bin: %s changed while it was copied\n", path);
}

}  // namespace

FileIdentity examine(const char* path) {
  FileIdentity id = identify(path);
  if (id.error != 0 && id.error != ENOENT) {
    fail(stderr, "kiv_parse_bin: cannot examine %s: %s\n", path, std::strerror(id.error));
  }
  return id;
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
  if (a.error == 0 && b.error == 0) return a.device == b.device && a.inode == b.inode;
  // Neither exists yet: one directory and one name would make them one file.
  return a.error == ENOENT && b.error == ENOENT && a.inode != 0 && a.device == b.device &&
         a.inode == b.inode && same_name(a.name, b.name);
}

void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected) {
  if (copied != expected) changed(path);
}

void check_unchanged(const char* path, const FileIdentity& before) {
  FileIdentity now = identify(path);
  if (now.error != 0 || !same_file(now, before) || now.size != before.size ||
      now.modified != before.modified) {
    changed(path);
  }
}

void check_output(const char* path, std::uint64_t size) {
  FileIdentity now = identify(path);
  if (now.error != 0 || (!now.stream && now.size != size)) {
    fail(stderr, "kiv_parse_bin: %s changed after it was written\n", path);
  }
}
