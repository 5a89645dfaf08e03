// Loaded into the tool with LD_PRELOAD, this acts at the one moment a test
// can't reach from outside: when the tool moves an input aside to remove it
// (by whichever call: rename, renameat, renameat2, or a second link). Names
// are taken relative to the working directory, where the tests run the tool.
//   KIV_SHIM_RENAME_OVER=FILE  renames FILE over the input just before, as a
//                              download or rsync replacing the file would;
//   KIV_SHIM_SYNC_AFTER=1      syncs the file systems just after, so a power
//                              cut between the move and the removal is among
//                              the states the crash replay sees.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using Rename = int (*)(const char*, const char*);
using RenameAt = int (*)(int, const char*, int, const char*);
using RenameAt2 = int (*)(int, const char*, int, const char*, unsigned);
using LinkAt = int (*)(int, const char*, int, const char*, int);

bool moving_aside(const char* to) { return std::strstr(to, ".kiv_parse_bin-") != nullptr; }

void before(const char* from, const char* to) {
  static bool done = false;
  const char* over = std::getenv("KIV_SHIM_RENAME_OVER");
  if (done || over == nullptr || !moving_aside(to)) return;
  done = true;
  reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"))(over, from);
}

void after(const char* to) {
  if (std::getenv("KIV_SHIM_SYNC_AFTER") != nullptr && moving_aside(to)) sync();
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
  before(from, to);
  int rc = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"))(from, to);
  after(to);
  return rc;
}

extern "C" int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  before(from, to);
  int rc = reinterpret_cast<RenameAt>(dlsym(RTLD_NEXT, "renameat"))(from_dir, from, to_dir, to);
  after(to);
  return rc;
}

// Where the system can't rename without replacing, the tool moves by a second link.
extern "C" int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  before(from, to);
  int rc = reinterpret_cast<LinkAt>(dlsym(RTLD_NEXT, "linkat"))(fromfd, from, tofd, to, flags);
  after(to);
  return rc;
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned flags) {
  before(from, to);
  int rc =
      reinterpret_cast<RenameAt2>(dlsym(RTLD_NEXT, "renameat2"))(from_dir, from, to_dir, to, flags);
  after(to);
  return rc;
}
