// File systems the tests mount for their own life, on a disk file of their
// own behind a loop device where they need one (root, and the file system's
// tools; FUSE for those Linux reaches only through it).
#pragma once

#include <string>
#include <vector>

#include "harness.h"

struct Mounted {
  // name: "ext4, whole seconds" (ext4 with 128-byte inodes), "NTFS" (ntfs-3g),
  // "exFAT" (exfat-fuse), "bindfs" (a FUSE view of a folder).
  explicit Mounted(const std::string& name);
  ~Mounted();
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  std::string kind;
  ScratchDir scratch;
  fs::path dir;  // where it is mounted
  bool mounted = false;
  std::string why;  // why not, where not
  bool coarse;      // its times keep whole seconds
  bool links;       // it has symbolic and hard links

 private:
  std::string loop;  // its loop device, or ""
};

// The kinds above.
const std::vector<std::string>& mountable_kinds();
