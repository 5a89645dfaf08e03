// The file calls on Linux, macOS, the BSDs and other POSIX systems. The build
// defines HAVE_<CALL> for each optional call the system declares.
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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

// Images past 2 GiB, and files whose inode numbers need 64 bits, must be
// examinable on 32-bit systems too.
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(ino_t) == 8, "build with 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace {

// FreeBSD makes every disk a character device, and macOS its raw disks; they
// answer a request for the disk's size, which devices that keep nothing don't.
#if HAVE_DIOCGMEDIASIZE || HAVE_DKIOCGETBLOCKCOUNT
constexpr bool disks_are_character_devices = true;
#else
constexpr bool disks_are_character_devices = false;
#endif

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
  if (S_ISCHR(st.st_mode)) return answers_disk_size(fd) ? Kind::disk : Kind::device;
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

// Returns, allocated, the directory part of path with its slash ("a/", "/"),
// or "." for a bare name; null where memory ran out.
char* directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? strdup(".") : strndup(path, static_cast<std::size_t>(slash - path) + 1);
}

bool refused(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == ENOTTY;
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
  if (rc == 0 || !refused(errno)) return rc;
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

int sys::open_image(const char* path) { return open(path, O_RDWR | O_CLOEXEC); }

int sys::open_input(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

int sys::open_output(const char* path) {
  int fd;  // a FIFO's open waits for a reader, and a signal may cut the wait short
  do fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int sys::empty_file(int fd) {
  int rc;
  do rc = ftruncate(fd, 0);
  while (rc < 0 && errno == EINTR);
  return rc;
}

void sys::lock_file(int fd) {
  while (flock(fd, LOCK_EX) < 0 && errno == EINTR) {
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

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                           Kind kind) {
  bool positioned = kind == Kind::file || kind == Kind::disk;
  auto at = static_cast<off_t>(offset);
  ssize_t n;
  do n = positioned ? pwrite(fd, buffer, size, at) : write(fd, buffer, size);
  while (n < 0 && errno == EINTR);
  return n;
}

void sys::start_writeback([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
                          [[maybe_unused]] std::uint64_t length) {
#if HAVE_SYNC_FILE_RANGE
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
#endif
}

int sys::sync_file(int fd) {
  if (sync_to_disk(fd, true) == 0) return 0;
  int error = errno;
  struct stat st {};
  // What each system answers a sync of a pipe, socket or device with.
  bool storeless = error == EROFS || error == ESPIPE || refused(error);
  if (storeless && fstat(fd, &st) == 0 && keeps_nothing(FileIdentity{.kind = kind_of(st, fd)})) {
    return 0;
  }
  errno = error;
  return -1;
}

char* sys::folder_of(const char* path) {
  char* folder = realpath(path, nullptr);
  if (folder == nullptr) return nullptr;
  char* slash = std::strrchr(folder, '/');
  slash[slash == folder ? 1 : 0] = '\0';  // "/x/a" is in "/x", "/a" in "/"
  return folder;
}

int sys::sync_folder(const char* folder) {
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = sync_to_disk(fd, false);
  if (rc < 0 && errno == EINVAL) rc = 0;  // file systems without directory sync
  int saved = errno;
  close(fd);
  errno = saved;
  return rc;
}

int sys::rename_new(const char* from, const char* to) {
#if HAVE_RENAMEAT2
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#elif HAVE_RENAMEX_NP
  if (renamex_np(from, to, RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP) return -1;
#endif
  // No atomic way on this system or file system: look first.
  struct stat st {};
  if (lstat(to, &st) == 0) errno = EEXIST;
  if (errno != ENOENT) return -1;
  return rename(from, to);
}

int sys::remove_file(const char* path) { return unlink(path); }

const char* sys::last_component(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

long sys::process_id() { return static_cast<long>(getpid()); }

FileIdentity sys::identify(const char* path) {
  struct stat st {};
  if (stat(path, &st) == 0) {
    if (!S_ISCHR(st.st_mode) || !disks_are_character_devices) return describe(st, kind_of(st, -1));
    // Only an open device answers whether it is a disk; one that can't be asked is taken for one.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    FileIdentity id = describe(st, fd < 0 ? Kind::disk : kind_of(st, fd));
    if (fd >= 0) close(fd);
    return id;
  }
  FileIdentity id{.error = errno == ENOTDIR ? ENOENT : errno};
  if (id.error != ENOENT) return id;
  // Nothing there yet: what it would become is named by its directory and last component.
  id.name = last_component(path);
  char* dir = directory_of(path);
  if (dir == nullptr) return FileIdentity{.error = ENOMEM};
  int rc = stat(dir, &st);
  int saved = errno;
  std::free(dir);
  if (rc == 0) {
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
  } else if (saved != ENOENT && saved != ENOTDIR) {
    id.error = saved;
  }
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
