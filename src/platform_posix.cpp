// The file calls on Linux, macOS, the BSDs and other POSIX systems. The build
// defines HAVE_<CALL> for each optional call the system declares. Every call
// a test may fault goes through SYS (faults.h).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>
#if HAVE_DIOCGMEDIASIZE || HAVE_DKIOCGETBLOCKCOUNT
#include <sys/disk.h>
#endif
#if HAVE_FSTATFS
#include <sys/vfs.h>
#endif
#if HAVE_FS_IOC_GETFLAGS
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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
// (OpenBSD, NetBSD, DragonFly), any but a terminal, /dev/null and /dev/zero
// is taken for a disk, as is one that can't be opened to ask: fail closed.
#if defined(__linux__)
constexpr bool disks_are_character_devices = false;
#else
constexpr bool disks_are_character_devices = true;
#endif

Kind character_device([[maybe_unused]] const struct stat& st, [[maybe_unused]] int fd) {
  if (!disks_are_character_devices) return Kind::device;
  if (fd < 0) return Kind::disk;
#if HAVE_DIOCGMEDIASIZE
  off_t size = 0;
  return ioctl(fd, DIOCGMEDIASIZE, &size) == 0 ? Kind::disk : Kind::device;
#elif HAVE_DKIOCGETBLOCKCOUNT
  std::uint64_t blocks = 0;
  return ioctl(fd, DKIOCGETBLOCKCOUNT, &blocks) == 0 ? Kind::disk : Kind::device;
#else
  if (isatty(fd) == 1) return Kind::device;
  for (const char* sink : {"/dev/null", "/dev/zero"}) {
    struct stat known {};
    if (stat(sink, &known) == 0 && S_ISCHR(known.st_mode) && known.st_rdev == st.st_rdev)
      return Kind::device;
  }
  return Kind::disk;
#endif
}

Kind kind_of(const struct stat& st, int fd) {
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return Kind::pipe;
  if (S_ISBLK(st.st_mode)) return Kind::disk;
  if (S_ISCHR(st.st_mode)) return character_device(st, fd);
  return S_ISDIR(st.st_mode) ? Kind::folder : Kind::file;
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
                      .mode = static_cast<unsigned>(st.st_mode & 07777),
                      .owner = static_cast<std::uint32_t>(st.st_uid),
                      .group = static_cast<std::uint32_t>(st.st_gid),
                      .links = static_cast<std::uint64_t>(st.st_nlink)};
}

// A descriptor above the standard streams': where one of them is closed, the
// lowest free number is its, and what is printed there would land in the file.
int above_streams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

// Brings what was written to fd to stable storage. macOS's fsync leaves it in
// the drive's cache, so F_FULLFSYNC comes first there; only a file system that
// refuses it gets fsync, since after a real write error a second sync may
// report success for data the cache dropped.
int sync_to_disk(int fd, [[maybe_unused]] bool data_only) {
#if HAVE_F_FULLFSYNC
  const int rc = retried([&] { return SYS(fcntl, fd, F_FULLFSYNC); });
  // A file system that has no full sync says so; any other error is the sync's own.
  if (rc == 0 || (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOTTY))
    return rc;
#endif
#if HAVE_FDATASYNC
  if (data_only) return retried([&] { return SYS(fdatasync, fd); });
#endif
  return retried([&] { return SYS(fsync, fd); });
}

// Names an unnamed file in folder. Older kernels let only root link by
// descriptor; /proc's link to it works for every user.
int name_tmpfile(int fd, int folder, const char* name) {
#if defined(AT_EMPTY_PATH)
  if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM) return -1;
#endif
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW);
}

std::string folder_part(const std::string& path) {
  const char* last = sys::last_component(path.c_str());
  return path.substr(0, static_cast<std::size_t>(last - path.c_str()));
}

}  // namespace

int sys::open_folder_of(const char* path) {
  const std::string folder = folder_part(path);
  const char* name = folder.empty() ? "." : folder.c_str();
  return above_streams(SYS(open, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

FileIdentity sys::identify_at(int folder, const char* name) {
  struct stat st {};
  if (SYS(fstatat, folder, name, &st, 0) != 0)
    return FileIdentity{.error = errno == ENOTDIR ? ENOENT : errno};
  if (!S_ISCHR(st.st_mode) || !disks_are_character_devices) return describe(st, kind_of(st, -1));
  int fd = SYS(openat, folder, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  FileIdentity id = describe(st, kind_of(st, fd));
  if (fd >= 0) close(fd);
  return id;
}

FileIdentity sys::identify_open(int fd) {
  struct stat st {};
  if (SYS(fstat, fd, &st) != 0) return FileIdentity{.error = errno};
  return describe(st, kind_of(st, fd));
}

std::string sys::follow_links(const char* path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (SYS(lstat, at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    char target[PATH_MAX];
    const ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
    if (n <= 0) return at;
    target[n] = '\0';
    at = target[0] == '/' ? std::string(target) : folder_part(at) + target;
  }
  errno = ELOOP;
  return "";
}

int sys::open_input(int folder, const char* name) {
  return above_streams(SYS(openat, folder, name, O_RDONLY | O_NOCTTY | O_CLOEXEC));
}

int sys::may_write(int folder, const char* name) {
  return SYS(faccessat, folder, name, W_OK, AT_EACCESS);
}

int sys::open_unnamed([[maybe_unused]] int folder) {
#if HAVE_O_TMPFILE
  const int fd = SYS(openat, folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  // Only a file system without unnamed files falls back; a folder that takes no file is final.
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return above_streams(fd);
#endif
  errno = EOPNOTSUPP;
  return -1;
}

int sys::create_new(int folder, const char* name) {
  return above_streams(
      SYS(openat, folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

int sys::link_unnamed(int folder, int fd, const char* name) {
  return SYS(name_tmpfile, fd, folder, name);
}

int sys::rename_over(int folder, const char* from, const char* to) {
  return SYS(renameat, folder, from, folder, to);
}

int sys::open_in_place(int folder, const char* name, bool wait) {
  int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (wait ? 0 : O_NONBLOCK);
  struct stat st {};
  const bool seen = SYS(fstatat, folder, name, &st, 0) == 0;
  // As POSIX has it: Linux says ENXIO, which would read as a FIFO without a reader.
  if (seen && S_ISSOCK(st.st_mode)) return errno = EOPNOTSUPP, -1;
#if defined(__linux__)
  // A second writer of the disk is refused, as while it is mounted.
  if (seen && S_ISBLK(st.st_mode)) flags |= O_EXCL;
#endif
  const int fd = above_streams(SYS(openat, folder, name, flags));
  if (fd >= 0 && !wait) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int sys::set_size(int fd, std::uint64_t size) {
  return retried([&] { return SYS(ftruncate, fd, static_cast<off_t>(size)); });
}

void sys::take_attributes(int fd, const FileIdentity& like) {
  SYS(fchmod, fd, static_cast<mode_t>(like.mode));
  // Only root, or a member of its group for the group alone, may: the rest keep their own.
  struct stat st {};
  if (fstat(fd, &st) == 0 && (st.st_uid != like.owner || st.st_gid != like.group)) {
    if (fchown(fd, like.owner, like.group) != 0) fchown(fd, static_cast<uid_t>(-1), like.group);
    SYS(fchmod, fd, static_cast<mode_t>(like.mode));  // a change of owner drops set-id bits
  }
}

int sys::close_file(int fd) {
  if (fd < 0) return 0;
  // Linux releases the descriptor even when close reports EINTR; retrying could close another file.
  int rc = SYS(close, fd);
  return (rc < 0 && errno == EINTR) ? 0 : rc;
}

std::int64_t sys::read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  return retried([&] { return SYS(pread, fd, buffer, size, static_cast<off_t>(offset)); });
}

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  return retried([&] { return SYS(pwrite, fd, buffer, size, static_cast<off_t>(offset)); });
}

std::int64_t sys::write_next(int fd, const void* buffer, std::size_t size) {
  // A reader gone from a pipe raises SIGPIPE, which would end the caller's
  // process: held in this thread for the write, and taken back if it raised it.
  sigset_t pipe_only, before, pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_only, &before);  // a thread's own mask where there are threads
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t n = retried([&] { return SYS(write, fd, buffer, size); });
  const int error = errno;
  sigpending(&pending);
  // Raised by a write cut short too, once the reader left.
  if (!was_pending && sigismember(&pending, SIGPIPE) == 1) {
#if HAVE_SIGTIMEDWAIT
    const struct timespec now {};
    sigtimedwait(&pipe_only, nullptr, &now);
#else
    int taken = 0;
    sigwait(&pipe_only, &taken);
#endif
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return n;
}

std::uint64_t sys::file_size_limit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

void sys::start_writeback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                          [[maybe_unused]] std::uint64_t length) {
#if HAVE_SYNC_FILE_RANGE
  SYS(sync_file_range, fd, static_cast<off_t>(offset), static_cast<off_t>(length),
      SYNC_FILE_RANGE_WRITE);
#endif
}

int sys::sync_file(int fd, bool attributes) {
  // Only what keeps data is synced: each system answers a sync of a pipe or
  // device in its own way (EINVAL, ESPIPE; macOS's F_FULLFSYNC EBADF or ENODEV).
  struct stat st {};
  if (SYS(fstat, fd, &st) != 0) return -1;
  if (keeps_nothing(FileIdentity{.kind = kind_of(st, fd)})) return 0;
  return sync_to_disk(fd, !attributes);
}

int sys::sync_folder(int folder) {
  const int rc = sync_to_disk(folder, false);
  return rc < 0 && errno == EINVAL ? 0 : rc;  // file systems without directory sync
}

void sys::wait_out_tick(std::int64_t time) {
  // FAT keeps times to two seconds, exFAT to ten milliseconds, the rest to
  // the kernel's coarse clock, which stamps them.
  constexpr std::int64_t ms = 1000000, second = 1000 * ms;
  const std::int64_t grain = time % second == 0 ? 2 * second : time % (10 * ms) == 0 ? 10 * ms : 1;
  for (;;) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t real = nanoseconds(now);
#if defined(CLOCK_REALTIME_COARSE)
    // It moves a tick after its last step, which is at most a tick ago.
    struct timespec tick {};
    clock_getres(CLOCK_REALTIME_COARSE, &tick);
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const std::int64_t clock = nanoseconds(now),
                       step = std::max<std::int64_t>(clock + nanoseconds(tick) - real, ms / 20);
#else
    const std::int64_t clock = real - 10 * ms, step = ms;  // a tick is at most that
#endif
    if (clock / grain * grain > time) return;
    const std::int64_t left = grain > 1 ? time / grain * grain + grain - clock : step;
    struct timespec pause {
      .tv_sec = static_cast<time_t>(left / second), .tv_nsec = static_cast<long>(left % second)
    };
    nanosleep(&pause, nullptr);
  }
}

bool sys::changes_show([[maybe_unused]] int fd, [[maybe_unused]] const FileIdentity& now) {
#if defined(__linux__) && defined(CLOCK_REALTIME_COARSE)
  // Two changes of the mode to itself, each after a look: times that differ
  // by less than the clock's tick can only be fine-grained ones.
  struct timespec tick {};
  clock_getres(CLOCK_REALTIME_COARSE, &tick);
  std::int64_t times[3] = {now.changed, 0, 0};
  for (int i = 1; i < 3; ++i) {
    struct stat st {};
    if (SYS(fchmod, fd, static_cast<mode_t>(now.mode)) != 0 || SYS(fstat, fd, &st) != 0)
      return false;
    times[i] = nanoseconds(st.st_ctim);
  }
  return times[0] < times[1] && times[1] < times[2] && times[2] - times[0] < nanoseconds(tick);
#else
  return false;
#endif
}

const char* sys::why_unremovable(int folder, const char* name) {
  struct statvfs mount {};
  if (SYS(fstatvfs, folder, &mount) == 0 && (mount.f_flag & ST_RDONLY) != 0)
    return "its folder is on a read-only file system";
  if (SYS(faccessat, folder, ".", W_OK | X_OK, AT_EACCESS) != 0 && errno == EACCES)
    return "its folder may not be written";
  struct stat holder {
  }, entry{};
  if (SYS(fstat, folder, &holder) != 0 ||
      SYS(fstatat, folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
    return nullptr;  // the steps that follow say why
  if ((holder.st_mode & S_ISVTX) != 0 && geteuid() != 0 && entry.st_uid != geteuid() &&
      holder.st_uid != geteuid()) {
    return "it is in a sticky folder and belongs to another user";
  }
  // A file bound over it: it neither renames nor goes.
#if HAVE_STATX && defined(STATX_ATTR_MOUNT_ROOT)
  struct statx seen {};
  if (statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &seen) == 0 &&
      (seen.stx_attributes_mask & seen.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
    return "it is a mount point";
  }
#endif
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

int sys::rename_new_at(int folder, const char* from, const char* to) {
#if HAVE_RENAMEAT2
  if (SYS(renameat2, folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#elif HAVE_RENAMEATX_NP
  if (SYS(renameatx_np, folder, from, folder, to, RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP) return -1;
#endif
  // A second link fails where the name is taken, atomically; then the first goes.
  if (SYS(linkat, folder, from, folder, to, 0) == 0) {
    int rc = SYS(unlinkat, folder, from, 0);
    int error = errno;
    if (rc != 0) unlinkat(folder, to, 0);  // not moved after all: no second name is left behind
    errno = error;
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

std::string sys::find_name(int folder, bool (*matches)(const char* name, const void* key),
                           const void* key) {
  int own = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = own < 0 ? nullptr : fdopendir(own);
  if (dir == nullptr) {
    if (own >= 0) close(own);
    return "";
  }
  std::string found;
  // One reader of this stream: readdir_r, which cppcheck suggests, is deprecated.
  // cppcheck-suppress readdirCalled
  for (const dirent* entry; found.empty() && (entry = readdir(dir)) != nullptr;)
    if (matches(entry->d_name, key)) found = entry->d_name;
  closedir(dir);
  return found;
}

const char* sys::last_component(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

long sys::process_id() { return static_cast<long>(getpid()); }

bool sys::is_terminal(int fd) { return isatty(fd) == 1; }

void sys::fill_closed_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);  // lowest free number: it lands on fd
    }
  }
}

namespace {

// The private file a stop signal removes (remove_on_stop): the command's alone.
volatile sig_atomic_t stop_folder = -1;
char stop_name[512];
bool handling_stops = false;

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}

void remove_and_stop(int signal) {
  if (stop_folder >= 0) unlinkat(stop_folder, stop_name, 0);
  raise(signal);  // the default action, once this returns (SA_RESETHAND)
}

}  // namespace

void sys::set_up_console() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  struct sigaction stop {
  }, before{};
  stop.sa_handler = remove_and_stop;
  stop.sa_flags = SA_RESETHAND;
  sigfillset(&stop.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    // An ignored one (nohup) stays ignored.
    if (sigaction(s, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      sigaction(s, &stop, nullptr);
  }
  handling_stops = true;
}

void sys::remove_on_stop(int folder, const char* name) {
  if (!handling_stops) return;
  const sigset_t held = stop_signals();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &held, &before);
  stop_folder = -1;
  if (name != nullptr && std::strlen(name) < sizeof stop_name) {
    std::memcpy(stop_name, name, std::strlen(name) + 1);
    stop_folder = folder;
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool sys::hold_stop_signals() {
  const sigset_t held = stop_signals();
  sigset_t before, pending;
  sigprocmask(SIG_BLOCK, &held, &before);
  sigemptyset(&pending);
  sigpending(&pending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&pending, s) == 1 && sigismember(&before, s) == 0) {
      sigprocmask(SIG_SETMASK, &before, nullptr);  // it acts now
      return false;
    }
  }
  return true;
}
