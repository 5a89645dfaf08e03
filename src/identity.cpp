#include "identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "console.h"
#include "platform.h"

FileIdentity examine(const char* path) {
  FileIdentity id = sys::identify(path);
  if (id.error == ENOENT) {
    // Nothing there yet: what it would become is named by its folder and last component.
    id.name = sys::last_component(path);
    const FileIdentity holder = sys::identify(sys::folder_name(path).c_str());
    if (holder.error == 0) {
      id.device = holder.device;
      id.inode = holder.inode;
    } else if (holder.error != ENOENT) {
      id.error = holder.error;
    }
  }
  if (id.error != 0 && id.error != ENOENT)
    fail("cannot examine %s: %s", path, std::strerror(id.error));
  return id;
}

FileIdentity examine_open(int fd, const char* path) {
  FileIdentity id = sys::identify_open(fd);
  if (id.error != 0) fail("cannot examine %s: %s", path, std::strerror(id.error));
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
