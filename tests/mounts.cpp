#include "mounts.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Runs a shell command quietly; its standard output, or "" where it failed.
bool sh(const std::string& command, std::string* out = nullptr) {
  // NOLINTNEXTLINE(cert-env33-c): the tests' own fixed commands
  FILE* p = popen(("(" + command + ") 2>/dev/null").c_str(), "r");
  if (p == nullptr) return false;
  char buffer[256];
  std::string text;
  while (std::fgets(buffer, sizeof buffer, p) != nullptr) text += buffer;
  const int status = pclose(p);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (out != nullptr) *out = text;
  return status == 0;
}

bool have(const char* tool) { return sh(std::string("command -v ") + tool + " >/dev/null"); }

}  // namespace

const std::vector<std::string>& mountable_kinds() {
  static const std::vector<std::string> kinds{"ext4, whole seconds", "NTFS", "exFAT", "bindfs"};
  return kinds;
}

Mounted::Mounted(const std::string& name)
    : kind(name),
      dir(scratch.path / "mnt"),
      coarse(name != "NTFS" && name != "bindfs"),
      links(name != "exFAT") {
  fs::create_directory(dir);
  const std::string disk = (scratch.path / "disk").string(), at = dir.string();
  struct Need {
    const char* kind;
    std::vector<const char*> tools;
    const char* package;
  };
  const Need needs[]{
      {"ext4, whole seconds", {"mkfs.ext4", "losetup"}, "e2fsprogs"},
      {"NTFS", {"mkntfs", "ntfs-3g", "losetup"}, "ntfs-3g"},
      {"exFAT", {"mkfs.exfat", "mount.exfat-fuse", "losetup"}, "exfatprogs, exfat-fuse"},
      {"bindfs", {"bindfs"}, "bindfs"}};
  if (geteuid() != 0) {
    why = "needs root";
    return;
  }
  for (const Need& n : needs) {
    if (kind != n.kind) continue;
    for (const char* tool : n.tools) {
      if (!have(tool)) why = std::string("needs ") + tool + " (Debian: " + n.package + ")";
    }
  }
  if (!why.empty()) return;
  if (kind == "bindfs") {
    fs::create_directory(scratch.path / "source");
    mounted = sh("bindfs " + (scratch.path / "source").string() + " " + at);
  } else if (!sh("truncate -s 64M " + disk + " && losetup -f --show " + disk, &loop)) {
    why = "needs a loop device";
    return;
  } else if (kind == "ext4, whole seconds") {
    mounted = sh("mkfs.ext4 -q -I 128 " + loop + " && mount " + loop + " " + at);
  } else if (kind == "NTFS") {
    mounted = sh("mkntfs -q -F -f " + loop + " >/dev/null && ntfs-3g " + loop + " " + at);
  } else {
    mounted = sh("mkfs.exfat " + loop + " >/dev/null && mount.exfat-fuse " + loop + " " + at);
  }
  if (!mounted) why = "could not be made or mounted here";
}

Mounted::~Mounted() {
  if (mounted) sh("umount " + dir.string() + " || umount -l " + dir.string());
  if (!loop.empty()) sh("losetup -d " + loop);
}
