// The file calls on Linux, macOS, the BSDs and other POSIX systems. The build
// defines HAVE_<CALL> for each optional call the system declares. Every call
// a test may fault goes through SYS (faults.h).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#if HAVE_DIOCGMEDIASIZE || HAVE_DKIOCGETBLOCKCOUNT
#include <sys/disk.h>
#endif
#if HAVE_FANOTIFY_INIT
#include <sys/fanotify.h>
#endif
#if HAVE_FSTATFS
#include <sys/vfs.h>
#endif
#if HAVE_INOTIFY_INIT1
#include <sys/inotify.h>
#elif HAVE_KQUEUE
#include <sys/event.h>
#endif
#if HAVE_FS_IOC_GETFLAGS
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "faults.h"
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

const struct timespec& time_of_change(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_ctimespec;
#else
  return st.st_ctim;
#endif
}

FileIdentity describe(const struct stat& st, Kind kind) {
#if defined(__APPLE__)
  const struct timespec& modified = st.st_mtimespec;
#else
  const struct timespec& modified = st.st_mtim;
#endif
  return FileIdentity{.error = 0,
                      .kind = kind,
                      .device = static_cast<std::uint64_t>(st.st_dev),
                      .inode = static_cast<std::uint64_t>(st.st_ino),
                      .size = static_cast<std::uint64_t>(st.st_size),
                      .modified = nanoseconds(modified),
                      .changed = nanoseconds(time_of_change(st)),
                      .name = nullptr};
}

// Brings what was written to fd to stable storage. macOS's fsync leaves it in
// the drive's cache, so F_FULLFSYNC comes first there; only a file system that
// refuses it gets fsync, since after a real write error a second sync may
// report success for data the cache dropped.
int sync_to_disk(int fd, [[maybe_unused]] bool data_only) {
  int rc = 0;
#if HAVE_F_FULLFSYNC
  do rc = SYS(fcntl, fd, F_FULLFSYNC);
  while (rc < 0 && errno == EINTR);
  // A file system that has no full sync says so; any other error is the sync's own.
  if (rc == 0 || (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOTTY)) {
    return rc;
  }
#endif
#if HAVE_FDATASYNC
  if (data_only) {
    do rc = SYS(fdatasync, fd);
    while (rc < 0 && errno == EINTR);
    return rc;
  }
#endif
  do rc = SYS(fsync, fd);
  while (rc < 0 && errno == EINTR);
  return rc;
}

void on_alarm(int) {}  // only cuts a waiting open short

}  // namespace

int sys::open_image(const char* path) {
  if (SYS(faccessat, AT_FDCWD, path, W_OK, AT_EACCESS) < 0) return -1;
  return SYS(open, path, O_RDONLY | O_CLOEXEC);
}

int sys::open_input(const char* path) { return SYS(open, path, O_RDONLY | O_CLOEXEC); }

int sys::open_output(const char* path, bool timed) {
  // A FIFO's open waits for a reader. Waiting in the open itself, not polling
  // without blocking, pairs with any reader at once, one that opens without
  // blocking too; a timer cuts the first wait short so the caller can say so.
  struct sigaction quiet {
  }, before{};
  struct itimerval second {
  }, off{};
  if (timed) {
    quiet.sa_handler = on_alarm;  // and no SA_RESTART: the open returns EINTR
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGALRM, &quiet, &before);
    second.it_value.tv_sec = 1;
    setitimer(ITIMER_REAL, &second, nullptr);
  }
  int fd;
  do fd = SYS(open, path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR && !timed);
  if (timed) {
    int error = errno;
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &before, nullptr);
    errno = fd < 0 && error == EINTR ? ETIMEDOUT : error;
  }
  return fd;
}

int sys::empty_file(int fd) {
  // A new file is left as it is: ext4 and btrfs take a truncation to zero as a
  // cue to flush at close, a sync nobody asked for that would hide a missing one.
  struct stat st {};
  if (SYS(fstat, fd, &st) == 0 && st.st_size == 0) return 0;
  int rc;
  do rc = SYS(ftruncate, fd, 0);
  while (rc < 0 && errno == EINTR);
  return rc;
}

int sys::set_size(int fd, std::uint64_t size) {
  int rc;
  do rc = SYS(ftruncate, fd, static_cast<off_t>(size));
  while (rc < 0 && errno == EINTR);
  return rc;
}

bool sys::lock_file(int fd, bool wait) {
  int rc;
  do rc = SYS(flock, fd, LOCK_EX | (wait ? 0 : LOCK_NB));
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
  int rc = SYS(close, fd);
  return (rc < 0 && errno == EINTR) ? 0 : rc;
}

std::int64_t sys::read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  ssize_t n;
  do n = SYS(pread, fd, buffer, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  ssize_t n;
  do n = SYS(pwrite, fd, buffer, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t sys::write_next(int fd, const void* buffer, std::size_t size) {
  ssize_t n;
  do n = SYS(write, fd, buffer, size);
  while (n < 0 && errno == EINTR);
  return n;
}

void sys::start_writeback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                          [[maybe_unused]] std::uint64_t length) {
#if HAVE_SYNC_FILE_RANGE
  SYS(sync_file_range, fd, static_cast<off_t>(offset), static_cast<off_t>(length),
      SYNC_FILE_RANGE_WRITE);
#endif
}

int sys::sync_file(int fd) {
  // Only what keeps data is synced: each system answers a sync of a pipe or
  // device in its own way (EINVAL, ESPIPE; macOS's F_FULLFSYNC EBADF or ENODEV).
  struct stat st {};
  if (SYS(fstat, fd, &st) != 0) return -1;
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
  int fd = SYS(open, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = sync_to_disk(fd, false);
  if (rc < 0 && errno == EINVAL) rc = 0;  // file systems without directory sync
  int saved = errno;
  close(fd);
  errno = saved;
  return rc;
}

// Watches. Linux: fanotify first, whose notices name the process behind each
// change, so the tool's own writes and moves are told from other programs';
// where it is refused (kernels before 5.13 for users, file systems without
// file handles), inotify, which can't tell them apart, as kqueue on macOS and
// the BSDs can't. A watch is its index in `watches`; each keeps what it saw as
// bits until asked, and the file's identity, so that where the tool moves a
// file by a second link (rename_new_at) its own link changes are not taken
// for another program's. Every fanotify watch shares one group where the
// file's handle tells its notices apart: closing a group waits for the
// kernel's grace period, some milliseconds, once a run rather than once a file.
namespace {

struct Watch {
  int group;  // fanotify: the group that reports it; -1 where the shared queue does
  int wd;     // inotify's watch descriptor, or a descriptor of the file of its own; -1 once ended
  dev_t device;
  ino_t inode;
  unsigned seen;
  std::string fid;  // fanotify: the file as its notices name it; "" where its group is its own
};
std::vector<Watch> watches;
int events_fd = -1;     // inotify's or kqueue's queue, shared by every watch on it
int shared_group = -1;  // fanotify's group for every file whose handle is known

bool live(const Watch& w) { return w.wd >= 0; }

// What one notice on the shared queue says of a file.
struct Notice {
  bool moved, links, gone, written, lost;
};

// Adds what a notice reports to the watches it names (wd -1: every watch).
// While the tool moves the file `linked` by a second link, its own link
// changes are a move, and so is the end of the old name's inode on a file
// system that gives each name its own (FUSE): the file lives on under the
// new name, where the caller checks it by identity.
void note_event(int wd, const Notice& n, const struct stat* linked) {
  for (Watch& w : watches) {
    if (w.group >= 0 || w.wd < 0 || (wd != -1 && w.wd != wd)) continue;
    bool own = linked != nullptr && w.device == linked->st_dev && w.inode == linked->st_ino;
    if (n.moved || (own && (n.links || n.gone))) w.seen |= sys::seen_moved;
    if (n.written || (!own && (n.links || n.gone))) w.seen |= sys::seen_changed;
    if (n.lost) w.seen |= sys::seen_lost;
  }
}

#if HAVE_FANOTIFY_INIT
constexpr std::uint64_t notices = FAN_MODIFY | FAN_ATTRIB | FAN_MOVE_SELF | FAN_DELETE_SELF;

int new_group() {
  return SYS(fanotify_init, FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_FID,
             O_RDONLY | O_CLOEXEC);
}

// The file system's id and the file's handle, as fanotify's notices give them.
std::string fid_key(const void* fsid, const struct file_handle& handle) {
  std::string key(static_cast<const char*>(fsid), sizeof(fsid_t));
  key.append(reinterpret_cast<const char*>(&handle.handle_type), sizeof handle.handle_type);
  return key.append(reinterpret_cast<const char*>(handle.f_handle), handle.handle_bytes);
}

// The key of the file open as fd; "" where the system gives no handle for it.
std::string fid_of(int fd) {
  struct statfs fs {};
  union {
    struct file_handle handle;
    char space[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  } h{};
  int mount_id = 0;
  constexpr int only_to_compare =
      0x200;  // AT_HANDLE_FID (Linux 6.5): also where none could be opened
  h.handle.handle_bytes = MAX_HANDLE_SZ;
  if (SYS(fstatfs, fd, &fs) != 0) return "";
  if (name_to_handle_at(fd, "", &h.handle, &mount_id, AT_EMPTY_PATH | only_to_compare) != 0) {
    h.handle.handle_bytes = MAX_HANDLE_SZ;
    if (name_to_handle_at(fd, "", &h.handle, &mount_id, AT_EMPTY_PATH) != 0) return "";
  }
  return fid_key(&fs.f_fsid, h.handle);
}

bool add_attributed(Watch& w, int fd) {
  const std::string fid = fid_of(fd);
  if (!fid.empty() && shared_group < 0) shared_group = new_group();
  const int group = fid.empty() ? new_group() : shared_group;
  if (group < 0) return false;
  // Marked by the descriptor: no path, and no /proc, between the tool and the file it opened.
  if (SYS(fanotify_mark, group, FAN_MARK_ADD, notices, fd, nullptr) == 0) {
    w.wd = SYS(fcntl, fd, F_DUPFD_CLOEXEC, 0);  // what ends the mark
    if (w.wd >= 0) {
      w.group = group;
      w.fid = fid;
      return true;
    }
  }
  int error = errno;
  if (fid.empty()) close(group);
  errno = error;
  return false;
}

// The key of the file one notice names, or "" for one that names none (an
// overflow). notice is where m was read from, with m.event_len bytes.
std::string fid_in(const char* notice, const struct fanotify_event_metadata& m) {
  const char* at = notice + m.metadata_len;
  const char* end = notice + m.event_len;
  while (at + sizeof(struct fanotify_event_info_header) <= end) {
    const auto* info = reinterpret_cast<const struct fanotify_event_info_fid*>(at);
    if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_FID) {
      return fid_key(&info->fsid, *reinterpret_cast<const struct file_handle*>(info->handle));
    }
    if (info->hdr.len == 0) break;
    at += info->hdr.len;
  }
  return "";
}

void gather_attributed(int group) {
  alignas(fanotify_event_metadata) char buffer[4096];
  for (ssize_t n; (n = SYS(read, group, buffer, sizeof buffer)) > 0;) {
    // A notice naming a file by handle is aligned to 4 bytes, its record to
    // 8: each record is copied out before it is read.
    struct fanotify_event_metadata m {};
    for (ssize_t at = 0; n - at >= static_cast<ssize_t>(sizeof m); at += m.event_len) {
      std::memcpy(&m, buffer + at, sizeof m);
      if (m.event_len < sizeof m || m.event_len > static_cast<std::size_t>(n - at)) break;
      const bool lost = (m.mask & FAN_Q_OVERFLOW) != 0;
      const std::string fid = lost ? "" : fid_in(buffer + at, m);
      for (Watch& w : watches) {
        if (w.group != group || !live(w) || (!lost && !w.fid.empty() && w.fid != fid)) continue;
        if (lost) w.seen |= sys::seen_lost;
        // Another process, or where the group may not name others, 0.
        if (!lost && m.pid != getpid()) {
          w.seen |= sys::seen_changed | ((m.mask & FAN_MOVE_SELF) != 0 ? sys::seen_moved : 0);
        }
      }
    }
  }
}

void end_attributed(const Watch& w) {
  if (w.fid.empty()) {
    close(w.group);
  } else if (std::none_of(watches.begin(), watches.end(), [&](const Watch& o) {
               return live(o) && o.group == w.group && o.fid == w.fid;
             })) {
    // Marks hold their file: a removed input's blocks are freed only once its mark goes.
    fanotify_mark(w.group, FAN_MARK_REMOVE, notices, w.wd, nullptr);
  }
  close(w.wd);
}
#else
bool add_attributed(Watch&, int) { return false; }
void gather_attributed(int) {}
void end_attributed(const Watch&) {}
#endif

#if HAVE_INOTIFY_INIT1
int open_events() { return SYS(inotify_init1, IN_NONBLOCK | IN_CLOEXEC); }

bool same_inode_and_time(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         nanoseconds(time_of_change(a)) == nanoseconds(time_of_change(b));
}

bool add_queued(Watch& w, int fd, const char* path, const struct stat& opened) {
  constexpr std::uint32_t mask = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
  // The descriptor's own link, not the path, which may name another file by now.
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  w.wd = SYS(inotify_add_watch, events_fd, self, mask);
  if (w.wd >= 0 || errno != ENOENT) return w.wd >= 0;
  // No /proc (a mount namespace without it): the path, where it names the
  // opened file, unmoved and unchanged, both before and after.
  struct stat before {
  }, after{};
  if (SYS(stat, path, &before) != 0 || !same_inode_and_time(before, opened)) return false;
  w.wd = SYS(inotify_add_watch, events_fd, path, mask);
  if (w.wd >= 0 && SYS(stat, path, &after) == 0 && same_inode_and_time(after, opened)) return true;
  if (w.wd >= 0 && std::none_of(watches.begin(), watches.end(),
                                [&](const Watch& o) { return o.group < 0 && o.wd == w.wd; })) {
    inotify_rm_watch(events_fd, w.wd);
  }
  w.wd = -1;
  errno = ENOENT;  // the path names another file now
  return false;
}

void end_queued(const Watch& w) {
  // inotify gives one descriptor to every watch of a file; it goes with the last.
  for (const Watch& o : watches) {
    if (o.group < 0 && o.wd == w.wd) return;
  }
  inotify_rm_watch(events_fd, w.wd);
}

void gather_queued(const struct stat* linked) {
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = SYS(read, events_fd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof *event + event->len);
      // An overflow lost notices of any watch; IN_IGNORED: the watch went with the file.
      bool overflow = (event->mask & IN_Q_OVERFLOW) != 0;
      note_event(overflow ? -1 : event->wd,
                 Notice{(event->mask & IN_MOVE_SELF) != 0, (event->mask & IN_ATTRIB) != 0,
                        (event->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0,
                        (event->mask & IN_MODIFY) != 0, overflow},
                 linked);
    }
  }
}
#elif HAVE_KQUEUE
int open_events() { return SYS(kqueue); }

bool add_queued(Watch& w, int fd, const char*, const struct stat&) {
  int own = SYS(fcntl, fd, F_DUPFD_CLOEXEC, 0);  // notices last as long as this descriptor
  if (own < 0) return false;
  struct kevent change {};
  EV_SET(&change, own, EVFILT_VNODE, EV_ADD | EV_CLEAR,
         NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_RENAME | NOTE_DELETE, 0,
         nullptr);
  if (SYS(kevent, events_fd, &change, 1, nullptr, 0, nullptr) == 0) {
    w.wd = own;
    return true;
  }
  int error = errno;
  close(own);
  errno = error;
  return false;
}

void end_queued(const Watch& w) { close(w.wd); }

void gather_queued(const struct stat* linked) {
  struct kevent events[8];
  const struct timespec now {};
  for (int n; (n = SYS(kevent, events_fd, nullptr, 0, events, 8, &now)) > 0;) {
    for (int i = 0; i < n; ++i) {
      auto flags = events[i].fflags;
      note_event(
          static_cast<int>(events[i].ident),
          Notice{(flags & NOTE_RENAME) != 0, (flags & NOTE_LINK) != 0, (flags & NOTE_DELETE) != 0,
                 (flags & (NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB)) != 0, false},
          linked);
    }
  }
}
#else
int open_events() {
  errno = ENOSYS;
  return -1;
}
bool add_queued(Watch&, int, const char*, const struct stat&) {
  errno = ENOSYS;
  return false;
}
void end_queued(const Watch&) {}
void gather_queued(const struct stat*) {}
#endif

void gather_events(const struct stat* linked = nullptr) {
  if (shared_group >= 0) gather_attributed(shared_group);
  for (const Watch& w : watches) {
    if (live(w) && w.group >= 0 && w.fid.empty()) gather_attributed(w.group);
  }
  if (events_fd >= 0) gather_queued(linked);
}

}  // namespace

int sys::watch_file(int fd, const char* path, bool& others_only) {
  struct stat st {};
  if (SYS(fstat, fd, &st) != 0) return -1;
  Watch w{-1, -1, st.st_dev, st.st_ino, 0, ""};
  others_only = add_attributed(w, fd);
  if (!others_only) {
    if (events_fd < 0) events_fd = open_events();
    if (events_fd < 0 || !add_queued(w, fd, path, st)) return -1;
  }
  watches.push_back(w);
  return static_cast<int>(watches.size() - 1);
}

unsigned sys::watch_seen(int watch) {
  gather_events();
  return std::exchange(watches.at(static_cast<std::size_t>(watch)).seen, 0);
}

void sys::unwatch(int watch) {
  if (watch < 0 || !live(watches.at(static_cast<std::size_t>(watch)))) return;
  gather_events();
  Watch ended = std::exchange(watches[static_cast<std::size_t>(watch)], Watch{-1, -1, 0, 0, 0, ""});
  if (ended.group >= 0) {
    end_attributed(ended);
  } else {
    end_queued(ended);
  }
}

bool sys::coarse_times(const FileIdentity& id) { return id.changed % 1000000000 == 0; }

void sys::wait_out_clock(const FileIdentity& id) {
  // FAT keeps times to two seconds, others to one: past both, a change shows.
  const std::int64_t past = id.changed + 2000000000;
  for (;;) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t left = past - nanoseconds(now);
    if (left <= 0) return;
    sleep_ms(static_cast<unsigned>(left / 1000000 + 1));
  }
}

const char* sys::why_unremovable(int folder, const char* name) {
  struct statvfs mount {};
  if (SYS(fstatvfs, folder, &mount) == 0 && (mount.f_flag & ST_RDONLY) != 0) {
    return "its folder is on a read-only file system";
  }
  if (SYS(faccessat, folder, ".", W_OK | X_OK, AT_EACCESS) != 0 && errno == EACCES) {
    return "its folder may not be written";
  }
  struct stat holder {
  }, entry{};
  if (SYS(fstat, folder, &holder) != 0 ||
      SYS(fstatat, folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
    return nullptr;  // the steps that follow say why
  if ((holder.st_mode & S_ISVTX) != 0 && geteuid() != 0 && entry.st_uid != geteuid() &&
      holder.st_uid != geteuid()) {
    return "it is in a sticky folder and belongs to another user";
  }
#if HAVE_FS_IOC_GETFLAGS
  int flags = 0;
  if (!S_ISLNK(entry.st_mode)) {
    int fd = SYS(openat, folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      if ((flags & FS_IMMUTABLE_FL) != 0) return close(fd), "it is immutable";
      if ((flags & FS_APPEND_FL) != 0) return close(fd), "it is append-only";
    }
    if (fd >= 0) close(fd);
  }
  if (ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0) {
    if ((flags & FS_IMMUTABLE_FL) != 0) return "its folder is immutable";
    if ((flags & FS_APPEND_FL) != 0) return "its folder is append-only";
  }
#elif defined(UF_IMMUTABLE)
  constexpr unsigned long immutable = UF_IMMUTABLE | SF_IMMUTABLE,
                          append_only = UF_APPEND | SF_APPEND;
  if ((entry.st_flags & immutable) != 0) return "it is immutable";
  if ((entry.st_flags & append_only) != 0) return "it is append-only";
  if ((holder.st_flags & immutable) != 0) return "its folder is immutable";
  if ((holder.st_flags & append_only) != 0) return "its folder is append-only";
#endif
  return nullptr;
}

namespace {
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}
sigset_t mask_before;  // what hold_signals found, for release_signals
}  // namespace

bool sys::hold_signals() {
  const sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, &mask_before);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&pending, s) == 1 && sigismember(&mask_before, s) == 0) return false;
  }
  return true;
}

void sys::release_signals() { sigprocmask(SIG_SETMASK, &mask_before, nullptr); }

int sys::open_folder_of(const char* path) {
  return SYS(open, folder_name(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void sys::close_folder(int folder) { close(folder); }

FileIdentity sys::identify_at(int folder, const char* name) {
  struct stat st {};
  if (SYS(fstatat, folder, name, &st, 0) != 0) return FileIdentity{.error = errno};
  return describe(st, kind_of(st, -1));
}

int sys::rename_new_at(int folder, const char* from, const char* to) {
#if HAVE_RENAMEAT2
  if (SYS(renameat2, folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#elif HAVE_RENAMEATX_NP
  if (SYS(renameatx_np, folder, from, folder, to, RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP) return -1;
#endif
  // A second link fails where the name is taken, atomically; then the first goes.
  struct stat moving {};
  if (SYS(fstatat, folder, from, &moving, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  gather_events();  // what came before is not the tool's own doing
  if (SYS(linkat, folder, from, folder, to, 0) == 0) {
    int rc = SYS(unlinkat, folder, from, 0);
    int error = errno;
    if (rc != 0) unlinkat(folder, to, 0);  // not moved after all: no second name is left behind
    gather_events(&moving);
    errno = error;  // the failure's own reason, not the reading of the events
    return rc;
  }
  if (errno == EEXIST) return -1;
  // No links on this file system (FAT): look first, then rename.
  struct stat st {};
  if (SYS(fstatat, folder, to, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
  if (errno != ENOENT) return -1;
  return SYS(renameat, folder, from, folder, to);
}

int sys::remove_at(int folder, const char* name) { return SYS(unlinkat, folder, name, 0); }

bool sys::moving_copies([[maybe_unused]] int folder) {
#if HAVE_FSTATFS
  struct statfs fs {};
  return SYS(fstatfs, folder, &fs) == 0 &&
         (static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFu) == 0x794C7630;  // overlayfs
#else
  return false;
#endif
}

std::string sys::find_name(int folder, const char* prefix) {
  int own = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* dir = own < 0 ? nullptr : fdopendir(own);
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return "";
  }
  // A duplicate shares the folder's offset, which an earlier search left at its end.
  rewinddir(dir);
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

std::string sys::folder_name(const char* path) {
  std::string folder(path, static_cast<std::size_t>(last_component(path) - path));
  return folder.empty() ? "." : folder;
}

long sys::process_id() { return static_cast<long>(getpid()); }

FileIdentity sys::identify(const char* path) {
  struct stat st {};
  if (SYS(stat, path, &st) != 0) return FileIdentity{.error = errno == ENOTDIR ? ENOENT : errno};
  if (!S_ISCHR(st.st_mode) || !disks_are_character_devices) return describe(st, kind_of(st, -1));
  // Only an open device answers whether it is a disk; one that can't be asked is taken for one.
  int fd = SYS(open, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  FileIdentity id = describe(st, fd < 0 ? Kind::disk : kind_of(st, fd));
  if (fd >= 0) close(fd);
  return id;
}

FileIdentity sys::identify_open(int fd) {
  struct stat st {};
  if (SYS(fstat, fd, &st) != 0) return FileIdentity{.error = errno};
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
