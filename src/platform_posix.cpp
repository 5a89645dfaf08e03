// The file calls on Linux, macOS, the BSDs and other POSIX systems. The build
// defines HAVE_<CALL> for each optional call the system declares.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if HAVE_DIOCGMEDIASIZE || HAVE_DKIOCGETBLOCKCOUNT
#include <sys/disk.h>
#endif
#if HAVE_INOTIFY_INIT1
#include <sys/inotify.h>
#elif HAVE_KQUEUE
#include <sys/event.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform.h"

// Images past 2 GiB, and files whose inode numbers need 64 bits, must be
// examinable on 32-bit systems too.
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(ino_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace {

// Linux's disks are block devices. Elsewhere disks are (also) character
// devices: FreeBSD's and macOS's answer a request for the disk's size, which
// devices that keep nothing don't; where the tool knows no such request
// (OpenBSD, NetBSD, DragonFly), a character device is taken for a disk unless
// it is a terminal or one of the devices that keep nothing: fail closed.
#if defined(__linux__)
constexpr bool disks_are_character_devices = false;
#else
constexpr bool disks_are_character_devices = true;
#endif
#if HAVE_DIOCGMEDIASIZE || HAVE_DKIOCGETBLOCKCOUNT
constexpr bool knows_disk_size_request = true;
#else
constexpr bool knows_disk_size_request = false;
#endif

bool keeps_nothing_device(const struct stat& st, int fd) {
  if (fd >= 0 && isatty(fd) == 1) return true;
  for (const char* sink : {"/dev/null", "/dev/zero"}) {
    struct stat known {};
    if (stat(sink, &known) == 0 && S_ISCHR(known.st_mode) && known.st_rdev == st.st_rdev)
      return true;
  }
  return false;
}

bool answers_disk_size([[maybe_unused]] int fd) {
#if HAVE_DIOCGMEDIASIZE
  off_t size = 0;
  return ioctl(fd, DIOCGMEDIASIZE, &size) == 0;
#elif HAVE_DKIOCGETBLOCKCOUNT
  std::uint64_t blocks = 0;
  return ioctl(fd, DKIOCGETBLOCKCOUNT, &blocks) == 0;
#else
  return false;
#endif
}

Kind kind_of(const struct stat& st, int fd) {
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return Kind::pipe;
  if (S_ISBLK(st.st_mode)) return Kind::disk;
  if (S_ISCHR(st.st_mode)) {
    if (!disks_are_character_devices) return Kind::device;
    if (knows_disk_size_request) return answers_disk_size(fd) ? Kind::disk : Kind::device;
    return keeps_nothing_device(st, fd) ? Kind::device : Kind::disk;
  }
  if (S_ISDIR(st.st_mode)) return Kind::folder;
  return Kind::file;
}

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileIdentity describe(const struct stat& st, Kind kind) {
#if defined(__APPLE__)
  const struct timespec &modified = st.st_mtimespec, &changed = st.st_ctimespec;
#else
  const struct timespec &modified = st.st_mtim, &changed = st.st_ctim;
#endif
  return FileIdentity{.error = 0,
                      .kind = kind,
                      .device = static_cast<std::uint64_t>(st.st_dev),
                      .inode = static_cast<std::uint64_t>(st.st_ino),
                      .size = static_cast<std::uint64_t>(st.st_size),
                      .modified = nanoseconds(modified),
                      .changed = nanoseconds(changed),
                      .name = nullptr};
}

// Brings what was written to fd to stable storage. macOS's fsync leaves it in
// the drive's cache, so F_FULLFSYNC comes first there; only a file system that
// refuses it gets fsync, since after a real write error a second sync may
// report success for data the cache dropped.
int sync_to_disk(int fd, [[maybe_unused]] bool data_only) {
  int rc = 0;
#if HAVE_F_FULLFSYNC
  do rc = fcntl(fd, F_FULLFSYNC);
  while (rc < 0 && errno == EINTR);
  // A file system that has no full sync says so; any other error is the sync's own.
  if (rc == 0 || (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOTTY)) {
    return rc;
  }
#endif
#if HAVE_FDATASYNC
  if (data_only) {
    do rc = fdatasync(fd);
    while (rc < 0 && errno == EINTR);
    return rc;
  }
#endif
  do rc = fsync(fd);
  while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

int sys::open_image(const char* path) {
  if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) < 0) return -1;
  return open(path, O_RDONLY | O_CLOEXEC);
}

int sys::open_input(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

// A descriptor open for reading syncs the file as one open for writing does.
int sys::open_to_sync(const char* path) {
  return open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

int sys::open_output(const char* path, bool wait) {
  int fd;  // a FIFO's open waits for a reader, and a signal may cut the wait short
  do fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | (wait ? 0 : O_NONBLOCK), 0666);
  while (fd < 0 && errno == EINTR);
  // Writes must wait for the reader as usual; only the open was not to.
  if (fd >= 0 && !wait) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int sys::empty_file(int fd) {
  // A new file is left as it is: ext4 and btrfs take a truncation to zero as a
  // cue to flush at close, a sync nobody asked for that would hide a missing one.
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size == 0) return 0;
  int rc;
  do rc = ftruncate(fd, 0);
  while (rc < 0 && errno == EINTR);
  return rc;
}

bool sys::lock_file(int fd, bool wait) {
  int rc;
  do rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
  while (rc < 0 && errno == EINTR);
  return rc == 0 || errno != EWOULDBLOCK;
}

void sys::sleep_ms(unsigned ms) {
  struct timespec pause {
    .tv_sec = static_cast<time_t>(ms / 1000), .tv_nsec = static_cast<long>(ms % 1000) * 1000000
  };
  while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
  }
}

int sys::close_file(int fd) {
  // Linux releases the descriptor even when close reports EINTR; retrying could close another file.
  int rc = close(fd);
  return (rc < 0 && errno == EINTR) ? 0 : rc;
}

std::int64_t sys::read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  ssize_t n;
  do n = pread(fd, buffer, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  ssize_t n;
  do n = pwrite(fd, buffer, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t sys::write_next(int fd, const void* buffer, std::size_t size) {
  ssize_t n;
  do n = write(fd, buffer, size);
  while (n < 0 && errno == EINTR);
  return n;
}

void sys::start_writeback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                          [[maybe_unused]] std::uint64_t length) {
#if HAVE_SYNC_FILE_RANGE && !KIV_NO_SYNC
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
#endif
}

#if KIV_NO_SYNC
// The power-cut replay's control, built only with the tests (never released):
// the syncs named in KIV_DROP_SYNC ("header", "body", "folders"; all where it
// is unset) answer success without syncing, to show the replay catches their loss.
namespace {
bool dropped(const char* step) {
  const char* steps = std::getenv("KIV_DROP_SYNC");
  return steps == nullptr || std::strstr(steps, step) != nullptr;
}
}  // namespace
#endif

int sys::sync_file(int fd) {
#if KIV_NO_SYNC
  static int outputs_synced = 0;  // a split syncs its header first, then its body
  if (dropped(++outputs_synced == 1 ? "header" : "body")) return 0;
#endif
  // Only what keeps data is synced: each system answers a sync of a pipe or
  // device in its own way (EINVAL, ESPIPE; macOS's F_FULLFSYNC EBADF or ENODEV).
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  if (keeps_nothing(FileIdentity{.kind = kind_of(st, fd)})) return 0;
  return sync_to_disk(fd, true);
}

bool sys::folder_of(const char* path, std::string& folder) {
  char* real = realpath(path, nullptr);
  if (real == nullptr) return false;
  folder = real;
  std::free(real);
  folder.resize(std::max<std::size_t>(folder.rfind('/'), 1));  // "/x/a" is in "/x", "/a" in "/"
  return true;
}

int sys::sync_folder(const char* folder) {
#if KIV_NO_SYNC
  if (dropped("folders")) return 0;
#endif
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = sync_to_disk(fd, false);
  if (rc < 0 && errno == EINVAL) rc = 0;  // file systems without directory sync
  int saved = errno;
  close(fd);
  errno = saved;
  return rc;
}

// Watches: inotify on Linux, kqueue on macOS and the BSDs. Each watch keeps
// what it saw as bits until asked, and the file's identity, so the tool's own
// move by a second link (rename_new_at) is not taken for another program's.
namespace {

struct Watch {
  int id;  // inotify's watch descriptor; for kqueue, a descriptor of the file
  dev_t device;
  ino_t inode;
  unsigned seen;
};
std::vector<Watch> watches;
int events_fd = -1;

// Adds what one event reports to the watch it names (id -1: every watch). A
// change of links to the file `linked`, which the tool itself links and unlinks, is a move.
void note_event(int id, bool moved, bool links, bool other, const struct stat* linked) {
  for (Watch& w : watches) {
    if (id != -1 && w.id != id) continue;
    bool own = linked != nullptr && w.device == linked->st_dev && w.inode == linked->st_ino;
    if (moved || (links && own)) w.seen |= sys::seen_moved;
    if (other || (links && !own)) w.seen |= sys::seen_changed;
  }
}

#if HAVE_INOTIFY_INIT1
int open_events() { return inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

int add_watch(int fd) {
  // The descriptor's own link, not the path, which may name another file by now.
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return inotify_add_watch(events_fd, self, IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
}

void end_watch(int id) {
  for (const Watch& w : watches) {
    if (w.id == id) return;  // another record of the same file still uses it
  }
  inotify_rm_watch(events_fd, id);
}

void gather_events(const struct stat* linked = nullptr) {
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = read(events_fd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof *event + event->len);
      // An overflow lost events of any watch; IN_IGNORED: the watch went with the file.
      bool overflow = (event->mask & IN_Q_OVERFLOW) != 0;
      note_event(overflow ? -1 : event->wd, (event->mask & IN_MOVE_SELF) != 0,
                 (event->mask & IN_ATTRIB) != 0,
                 (event->mask & (IN_MODIFY | IN_DELETE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) != 0,
                 linked);
    }
  }
}
#elif HAVE_KQUEUE
int open_events() { return kqueue(); }

int add_watch(int fd) {
  int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);  // events last as long as this descriptor
  if (own < 0) return -1;
  struct kevent change {};
  EV_SET(&change, own, EVFILT_VNODE, EV_ADD | EV_CLEAR,
         NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_RENAME | NOTE_DELETE, 0,
         nullptr);
  if (kevent(events_fd, &change, 1, nullptr, 0, nullptr) == 0) return own;
  close(own);
  return -1;
}

void end_watch(int id) { close(id); }

void gather_events(const struct stat* linked = nullptr) {
  struct kevent events[8];
  const struct timespec now {};
  for (int n; (n = kevent(events_fd, nullptr, 0, events, 8, &now)) > 0;) {
    for (int i = 0; i < n; ++i) {
      auto flags = events[i].fflags;
      note_event(static_cast<int>(events[i].ident), (flags & NOTE_RENAME) != 0,
                 (flags & NOTE_LINK) != 0,
                 (flags & (NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_DELETE)) != 0, linked);
    }
  }
}
#else
int open_events() { return -1; }
int add_watch(int) { return -1; }
void end_watch(int) {}
void gather_events(const struct stat* = nullptr) {}
#endif

}  // namespace

int sys::watch_file(int fd, const char*) {
  struct stat st {};
  if (events_fd < 0) events_fd = open_events();
  if (events_fd < 0 || fstat(fd, &st) != 0) return -1;
  int id = add_watch(fd);
  if (id >= 0) watches.push_back(Watch{id, st.st_dev, st.st_ino, 0});
  return id;
}

unsigned sys::watch_seen(int watch) {
  gather_events();
  unsigned seen = 0;
  for (Watch& w : watches) {
    if (w.id == watch) seen |= std::exchange(w.seen, 0);
  }
  return seen;
}

void sys::unwatch(int watch) {
  if (watch < 0) return;
  gather_events();
  std::erase_if(watches, [watch](const Watch& w) { return w.id == watch; });
  end_watch(watch);
}

int sys::open_folder_of(const char* path) {
  const char* name = last_component(path);
  std::string folder(path, static_cast<std::size_t>(name - path));
  return open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void sys::close_folder(int folder) { close(folder); }

FileIdentity sys::identify_at(int folder, const char* name) {
  struct stat st {};
  if (fstatat(folder, name, &st, 0) != 0) return FileIdentity{.error = errno};
  return describe(st, kind_of(st, -1));
}

int sys::rename_new_at(int folder, const char* from, const char* to) {
#if HAVE_RENAMEAT2
  if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#elif HAVE_RENAMEATX_NP
  if (renameatx_np(folder, from, folder, to, RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP) return -1;
#endif
  // A second link fails where the name is taken, atomically; then the first goes.
  struct stat moving {};
  if (fstatat(folder, from, &moving, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  gather_events();  // what came before is not the tool's own doing
  if (linkat(folder, from, folder, to, 0) == 0) {
    int rc = unlinkat(folder, from, 0);
    gather_events(&moving);
    return rc;
  }
  if (errno == EEXIST) return -1;
  // No links on this file system (FAT): look first, then rename.
  struct stat st {};
  if (fstatat(folder, to, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
  if (errno != ENOENT) return -1;
  return renameat(folder, from, folder, to);
}

int sys::remove_at(int folder, const char* name) { return unlinkat(folder, name, 0); }

std::string sys::find_name(int folder, const char* prefix) {
  int own = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* dir = own < 0 ? nullptr : fdopendir(own);
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return "";
  }
  std::string found;
  // One thread: readdir_r, which cppcheck suggests, is deprecated.
  // cppcheck-suppress readdirCalled
  for (const dirent* entry; found.empty() && (entry = readdir(dir)) != nullptr;) {
    if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0) found = entry->d_name;
  }
  closedir(dir);
  return found;
}

const char* sys::last_component(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

long sys::process_id() { return static_cast<long>(getpid()); }

FileIdentity sys::identify(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) return FileIdentity{.error = errno == ENOTDIR ? ENOENT : errno};
  if (!S_ISCHR(st.st_mode) || !disks_are_character_devices) return describe(st, kind_of(st, -1));
  // Only an open device answers whether it is a disk; one that can't be asked is taken for one.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  FileIdentity id = describe(st, fd < 0 ? Kind::disk : kind_of(st, fd));
  if (fd >= 0) close(fd);
  return id;
}

FileIdentity sys::identify_open(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return FileIdentity{.error = errno};
  return describe(st, kind_of(st, fd));
}

bool sys::same_name(const char* a, const char* b) {
#if defined(__APPLE__)
  return strcasecmp(a, b) == 0;
#else
  return std::strcmp(a, b) == 0;
#endif
}

bool sys::is_terminal(int fd) { return isatty(fd) == 1; }

std::uint64_t sys::monotonic_ms() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void sys::set_up_console() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);  // lowest free number: it lands on fd
    }
  }
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
