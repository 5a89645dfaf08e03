// disk_logger MOUNTPOINT STORE LOG SIZE: serves STORE as MOUNTPOINT/disk, a
// file of SIZE bytes for a loop device, and appends every write (offset,
// length, bytes) and every fsync (a flush of the disk's cache) to LOG, in the
// one order they were served. Single-threaded, so that order is global. Runs
// in the foreground until MOUNTPOINT is unmounted.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "log_record.h"

namespace {

int store = -1;
int log_fd = -1;
off_t disk_size = 0;

bool is_disk(const char* path) { return std::strcmp(path, "/disk") == 0; }

void append(const void* data, std::size_t size) {
  // A short log would make every replay wrong: stop the disk instead.
  if (write(log_fd, data, size) != static_cast<ssize_t>(size)) std::abort();
}

int get_attributes(const char* path, struct stat* st, fuse_file_info*) {
  *st = {};
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (is_disk(path)) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = disk_size;
  } else {
    return -ENOENT;
  }
  return 0;
}

int read_directory(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                   fuse_readdir_flags) {
  for (const char* name : {".", "..", "disk"}) fill(buffer, name, nullptr, 0, FUSE_FILL_DIR_PLUS);
  return 0;
}

int open_disk(const char* path, fuse_file_info* info) {
  if (!is_disk(path)) return -ENOENT;
  info->direct_io = 1;  // every write reaches this process, none waits in a page cache
  return 0;
}

int read_disk(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info*) {
  ssize_t n = pread(store, buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int write_disk(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info*) {
  ssize_t n = pwrite(store, data, size, offset);
  if (n < 0) return -errno;
  LogRecord record{'W', static_cast<std::uint64_t>(offset), static_cast<std::uint32_t>(n)};
  append(&record, sizeof record);
  append(data, static_cast<std::size_t>(n));
  return static_cast<int>(n);
}

int flush_disk(const char*, int, fuse_file_info*) {
  LogRecord record{'F', 0, 0};
  append(&record, sizeof record);
  return 0;
}

int keep_size(const char*, off_t, fuse_file_info*) { return 0; }

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 5) return 2;
  store = open(argv[2], O_RDWR | O_CLOEXEC);
  log_fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  disk_size = static_cast<off_t>(std::strtoull(argv[4], nullptr, 10));
  if (store < 0 || log_fd < 0) return 1;
  fuse_operations operations{};
  operations.getattr = get_attributes;
  operations.readdir = read_directory;
  operations.open = open_disk;
  operations.read = read_disk;
  operations.write = write_disk;
  operations.fsync = flush_disk;
  operations.truncate = keep_size;
  std::vector<char*> args{argv[0], argv[1], const_cast<char*>("-f"), const_cast<char*>("-s")};
  return fuse_main(static_cast<int>(args.size()), args.data(), &operations, nullptr);
}
