// The file calls on Linux, macOS, the BSDs and other POSIX systems. The build
// defines HAVE_<CALL> for each optional call the system declares.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

bool is_stream_mode(mode_t mode) { return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode); }

std::int64_t modified_ns(const struct stat& st) {
#if defined(__APPLE__)
  const struct timespec& t = st.st_mtimespec;
#else
  const struct timespec& t = st.st_mtim;
#endif
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

int open_image(const char* path) { return open(path, O_RDWR | O_CLOEXEC); }

int open_input(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

int create_output(const char* path) {
  return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int close_file(int fd) {
  // Linux releases the descriptor even when close reports EINTR; retrying could close another file.
  int rc = close(fd);
  return (rc < 0 && errno == EINTR) ? 0 : rc;
}

std::int64_t read_some(int fd, void* buffer, std::size_t size) {
  ssize_t n;
  do n = read(fd, buffer, size);
  while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t write_some(int fd, const void* buffer, std::size_t size) {
  ssize_t n;
  do n = write(fd, buffer, size);
  while (n < 0 && errno == EINTR);
  if (n == 0 && size > 0) {
    errno = EIO;  // no progress would loop for ever
    return -1;
  }
  return n;
}

int seek_to(int fd, std::uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

namespace {

#if HAVE_SPLICE
// Moves up to size bytes through a pipe of the tool's own, leaving from's
// offset after what reached to; returns that count, 0 at the end, or -1.
std::int64_t pipe_copy(int from, int to, std::size_t size) {
  static int pipe_fds[2] = {-1, -1};
  static bool grown = false;
  if (pipe_fds[0] < 0) {
    if (pipe2(pipe_fds, O_CLOEXEC) < 0) return -1;
    grown = false;
  }
  // A larger pipe means fewer calls for a large copy; a small one needs none (64 KiB where
  // refused).
  if (!grown && size > (std::size_t{64} << 10))
    grown = fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20) > 0;
  off_t start = lseek(from, 0, SEEK_CUR);
  if (start < 0) return -1;
  loff_t at = start;
  ssize_t filled;
  do filled = splice(from, &at, pipe_fds[1], nullptr, size, SPLICE_F_MOVE);
  while (filled < 0 && errno == EINTR);
  if (filled <= 0) return filled;
  ssize_t moved = 0;
  while (moved < filled) {
    ssize_t n = splice(pipe_fds[0], nullptr, to, nullptr, static_cast<std::size_t>(filled - moved),
                       SPLICE_F_MOVE);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    moved += n;
  }
  if (moved < filled) {  // what is left in the pipe goes with it
    int saved = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    pipe_fds[0] = pipe_fds[1] = -1;
    errno = saved;
  }
  if (lseek(from, start + moved, SEEK_SET) < 0) return -1;
  return moved > 0 ? moved : -1;
}
#endif

}  // namespace

std::int64_t kernel_copy(int from, int to, std::size_t size) {
  // Where both offsets stand at one place in a 4 KiB page, the file copy is
  // fastest and may share blocks (a reflink); elsewhere it goes page by page
  // and costs more than moving the bytes through a pipe.
  off_t from_at = lseek(from, 0, SEEK_CUR), to_at = lseek(to, 0, SEEK_CUR);
  bool same_phase = from_at >= 0 && to_at >= 0 && from_at % 4096 == to_at % 4096;
#if HAVE_COPY_FILE_RANGE
  if (same_phase) {
    ssize_t n;
    do n = copy_file_range(from, nullptr, to, nullptr, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
  }
#endif
#if HAVE_SPLICE
  if (!same_phase) return pipe_copy(from, to, size);
#endif
  (void)size, (void)same_phase;
  errno = ENOSYS;
  return -1;
}

void start_writeback(int fd, std::uint64_t length) {
#if HAVE_SYNC_FILE_RANGE
  off_t end = lseek(fd, 0, SEEK_CUR);
  auto span = static_cast<off_t>(length);
  if (end >= span) sync_file_range(fd, end - span, span, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)length;
#endif
}

namespace {

// Brings what was written to fd to stable storage. macOS's fsync leaves it in
// the drive's cache, so F_FULLFSYNC comes first there; a file system that
// refuses it gets fsync.
int sync_to_disk(int fd, bool data_only) {
#if HAVE_F_FULLFSYNC
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
#if HAVE_FDATASYNC
  if (data_only) return fdatasync(fd);
#endif
  (void)data_only;
  return fsync(fd);
}

// What systems answer a sync of a pipe, socket or character device with.
bool holds_no_storage(int fd) {
  struct stat st {};
  bool refused = errno == EINVAL || errno == EROFS || errno == ENOTSUP || errno == EOPNOTSUPP ||
                 errno == ENOTTY || errno == ESPIPE;
  return refused && fstat(fd, &st) == 0 && is_stream_mode(st.st_mode);
}

}  // namespace

int sync_file(int fd) {
  if (sync_to_disk(fd, true) == 0 || holds_no_storage(fd)) return 0;
  return -1;
}

namespace {

// Returns, allocated, the directory part of path with its slash ("a/", "/"),
// or "." for a bare name; null where memory ran out.
char* directory_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? strdup(".") : strndup(path, static_cast<std::size_t>(slash - path) + 1);
}

// Syncs the directory that holds path; returns 0, or -1 with errno.
int sync_directory_of(const char* path) {
  char* dir = directory_of(path);
  if (dir == nullptr) return -1;
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::free(dir);
  if (fd < 0) return -1;
  int rc = sync_to_disk(fd, false);
  if (rc < 0 && errno == EINVAL) rc = 0;  // file systems without directory sync
  int saved = errno;
  close(fd);
  errno = saved;
  return rc;
}

// True when both paths lie in one directory, as written.
bool same_directory(const char* a, const char* b) {
  const char* a_slash = std::strrchr(a, '/');
  const char* b_slash = std::strrchr(b, '/');
  if (a_slash == nullptr || b_slash == nullptr) return a_slash == b_slash;
  return a_slash - a == b_slash - b &&
         std::strncmp(a, b, static_cast<std::size_t>(a_slash - a)) == 0;
}

// Sets regular to whether path names a regular file; returns -1 where it can't tell.
int is_regular_path(const char* path, bool& regular) {
  struct stat st {};
  regular = false;
  if (path == nullptr) return 0;
  if (stat(path, &st) < 0) return -1;
  regular = S_ISREG(st.st_mode);
  return 0;
}

}  // namespace

int sync_directories_of(const char* first, const char* second) {
  bool sync_first = false, sync_second = false;
  if (is_regular_path(first, sync_first) < 0 || is_regular_path(second, sync_second) < 0) return -1;
  sync_second = sync_second && !(sync_first && same_directory(first, second));
  if (sync_first && sync_directory_of(first) < 0) return -1;
  if (sync_second && sync_directory_of(second) < 0) return -1;
  return 0;
}

int remove_file(const char* path) { return unlink(path); }

FileIdentity identify(const char* path) {
  FileIdentity id{};
  struct stat st {};
  if (stat(path, &st) == 0) {
    id.stream = is_stream_mode(st.st_mode);
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modified = modified_ns(st);
    return id;
  }
  id.error = errno == ENOTDIR ? ENOENT : errno;
  if (id.error != ENOENT) return id;
  // Nothing there yet: what it would become is named by its directory and last component.
  const char* slash = std::strrchr(path, '/');
  id.name = slash == nullptr ? path : slash + 1;
  char* dir = directory_of(path);
  if (dir == nullptr) return FileIdentity{ENOMEM, false, 0, 0, 0, 0, nullptr};
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

bool same_name(const char* a, const char* b) {
#if defined(__APPLE__)
  return strcasecmp(a, b) == 0;
#else
  return std::strcmp(a, b) == 0;
#endif
}

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

std::uint64_t monotonic_ms() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void set_up_console() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);  // lowest free number: it lands on fd
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
