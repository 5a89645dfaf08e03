#include "guard.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"
#include "platform.h"

namespace {

[[noreturn]] void changed(const char* path) {
  fail(stderr, "kiv_parse_bin: %s changed while it was copied\n", path);
}

// True when now is the file `before` describes, unchanged since. A pipe or a
// device keeps nothing that could change, so being the same one is enough
// (or, where the system can't tell them apart, being one still).
bool unchanged(const FileIdentity& now, const FileIdentity& before) {
  if (now.error != 0) return false;
  if (keeps_nothing(before)) {
    return now.kind == before.kind && (before.inode == 0 || same_file(now, before));
  }
  return same_file(now, before) && now.size == before.size && now.modified == before.modified &&
         now.changed == before.changed;
}

// Renames path to a name of the tool's own beside it, never over another
// file; returns that name (allocated), or null with errno set.
char* move_aside(const char* path) {
  const char* name = sys::last_component(path);
  const auto folder = static_cast<int>(name - path);
  const std::size_t size = std::strlen(path) + 64;
  auto* aside = static_cast<char*>(std::malloc(size));
  if (aside == nullptr) return nullptr;
  bool short_name = false;  // where the input's own name leaves no room for more
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(aside, size, "%.*s.%s%skiv_parse_bin-%ld-%d", folder, path,
                  short_name ? "" : name, short_name ? "" : ".", sys::process_id(), attempt);
    if (sys::rename_new(path, aside) == 0) return aside;
    if (errno == ENAMETOOLONG && !short_name) {
      short_name = true;
    } else if (errno != EEXIST) {
      break;
    }
  }
  const int error = errno;
  std::free(aside);
  errno = error;
  return nullptr;
}

}  // namespace

FileIdentity examine(const char* path) {
  FileIdentity id = sys::identify(path);
  if (id.error != 0 && id.error != ENOENT) {
    fail(stderr, "kiv_parse_bin: cannot examine %s: %s\n", path, std::strerror(id.error));
  }
  return id;
}

FileIdentity examine_open(int fd, const char* path) {
  FileIdentity id = sys::identify_open(fd);
  if (id.error != 0) {
    fail(stderr, "kiv_parse_bin: cannot examine %s: %s\n", path, std::strerror(id.error));
  }
  return id;
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
  // Inode 0 is no file's: a pipe or device the system can't tell apart.
  if (a.error == 0 && b.error == 0)
    return a.inode != 0 && a.device == b.device && a.inode == b.inode;
  // Neither exists yet: one directory and one name would make them one file.
  return a.error == ENOENT && b.error == ENOENT && a.inode != 0 && a.device == b.device &&
         a.inode == b.inode && sys::same_name(a.name, b.name);
}

void refuse_console_file(const char* path, const FileIdentity& id, const char* verb) {
  if (id.kind == Kind::device) return;  // a terminal, /dev/null: lines and bytes don't mix there
  const char* const names[] = {"standard output", "standard error"};
  for (int fd = 1; fd <= 2; ++fd) {
    if (same_file(sys::identify_open(fd), id)) {
      fail(stderr, "kiv_parse_bin: refusing to %s %s: it is also %s\n", verb, path, names[fd - 1]);
    }
  }
}

void check_opened(const Input& in, const FileIdentity& before) {
  if (!unchanged(examine_open(in.fd, in.path), before)) changed(in.path);
}

void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected) {
  if (copied != expected) changed(path);
}

void check_unchanged(const char* path, const FileIdentity& before) {
  if (!unchanged(sys::identify(path), before)) changed(path);
}

void check_output(const char* path, const FileIdentity& synced) {
  if (!unchanged(sys::identify(path), synced)) {
    fail(stderr, "kiv_parse_bin: %s changed after it was written\n", path);
  }
}

void remove_copied(const char* path, const FileIdentity& before, const char* action) {
  char* aside = move_aside(path);
  if (aside == nullptr) fail_errno(action, path);
  // The move itself sets the time of change: size and time of last write tell the rest.
  FileIdentity moved = sys::identify(aside);
  bool copied = moved.error == 0 && same_file(moved, before) && moved.size == before.size &&
                moved.modified == before.modified;
  if (copied && sys::remove_file(aside) == 0) {
    std::free(aside);
    return;
  }
  int error = errno;
  // Not the file that was copied, or it can't be removed: it goes back where it was.
  if (sys::rename_new(aside, path) != 0) {
    fail(stderr, "kiv_parse_bin: cannot move %s back: it is kept as %s\n", path, aside);
  }
  if (!copied) changed(path);
  errno = error;
  fail_errno(action, path);
}
