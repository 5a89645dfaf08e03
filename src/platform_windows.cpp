// The file calls on Windows, through the C runtime's descriptors.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform.h"

// Asks the MinGW start-up to expand unquoted * and ? in arguments to the
// matching file names, keeping a pattern that matches nothing as typed, as
// shells do elsewhere.
extern "C" {
int _dowildcard = -1;  // NOLINT: read by the C runtime's start-up
}

namespace {

unsigned clamp(std::size_t size) {
  return static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
}

bool holds_storage(int fd) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

int open_image(const char* path) { return _open(path, _O_RDWR | _O_BINARY | _O_NOINHERIT); }

int open_input(const char* path) { return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int create_output(const char* path) {
  return _open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
}

int close_file(int fd) { return _close(fd); }

std::int64_t read_some(int fd, void* buffer, std::size_t size) {
  return _read(fd, buffer, clamp(size));
}

std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    int n = _read(fd, bytes + done, clamp(size - done));
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t write_some(int fd, const void* buffer, std::size_t size) {
  int n = _write(fd, buffer, clamp(size));
  if (n == 0 && size > 0) {
    errno = EIO;  // no progress would loop for ever
    return -1;
  }
  return n;
}

int seek_to(int fd, std::uint64_t offset) {
  return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0 ? -1 : 0;
}

std::int64_t kernel_copy(int, int, std::size_t) {
  errno = ENOSYS;  // no file-to-file copy call for descriptors: the block loop does it
  return -1;
}

void start_writeback(int, std::uint64_t) {}

int sync_file(int fd) {
  if (!holds_storage(fd)) return 0;  // NUL, consoles and pipes
  return _commit(fd);
}

int sync_directories_of(const char*, const char*) {
  return 0;  // NTFS journals its directory entries; there is no call to sync one
}

int remove_file(const char* path) { return std::remove(path); }

FileIdentity identify(const char* path) {
  // st_ino means nothing here: the volume serial number and file index name a file.
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{false, false, 0, 0};
  DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  bool stream = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
  if (!known) return FileIdentity{true, stream, 0, 0};
  return FileIdentity{true, stream, info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

void keep_standard_streams_open() {}
