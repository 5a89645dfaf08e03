// The file calls on Windows, through the C runtime's descriptors.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {

// Why a path can't be examined, as the errno value closest to the system's error.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

// Reads what the system knows of the file or folder at path; returns 0, or
// the errno value for why it can't.
int describe(const char* path, BY_HANDLE_FILE_INFORMATION& info, DWORD& type) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
  type = GetFileType(handle);
  // NUL and consoles have no file index.
  bool known = type != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) != 0;
  DWORD error = GetLastError();
  CloseHandle(handle);
  return known ? 0 : errno_of(error);
}

std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

}  // namespace

FileIdentity identify(const char* path) {
  // st_ino means nothing here: the volume serial number and file index name a file.
  FileIdentity id{};
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD type = FILE_TYPE_UNKNOWN;
  id.error = describe(path, info, type);
  if (id.error == 0) {
    id.stream = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
    id.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    id.modified = static_cast<std::int64_t>(
        join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  } else if (id.error == ENOENT) {
    // Nothing there yet: what it would become is named by its folder and last component.
    const char* last = path;
    for (const char* p = path; *p != '\0'; ++p) {
      if (*p == '/' || *p == '\\' || *p == ':') last = p + 1;
    }
    id.name = last;
    auto length = static_cast<std::size_t>(last - path);
    const char* prefix = length > 0 ? path : ".";
    if (length == 0) length = 1;
    auto* dir = static_cast<char*>(std::malloc(length + 2));
    if (dir == nullptr) return FileIdentity{ENOMEM, false, 0, 0, 0, 0, nullptr};
    std::memcpy(dir, prefix, length);
    dir[length] = '\0';
    if (dir[length - 1] == ':') std::strcpy(dir + length, ".");  // "C:" names no folder; "C:." does
    int error = describe(dir, info, type);
    std::free(dir);
    if (error != 0) {
      if (error != ENOENT) id.error = error;
      return id;
    }
  } else {
    return id;
  }
  id.device = info.dwVolumeSerialNumber;
  id.inode = join(info.nFileIndexHigh, info.nFileIndexLow);
  return id;
}

bool same_name(const char* a, const char* b) { return _stricmp(a, b) == 0; }

namespace {

UINT console_code_page = 0;  // restored at exit

void restore_console() { SetConsoleOutputCP(console_code_page); }

}  // namespace

bool is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

std::uint64_t monotonic_ms() { return GetTickCount64(); }

void set_up_console() {
  // A console shows the UTF-8 bytes of the echo line as the names typed; files and pipes get
  // the bytes unchanged either way.
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0 &&
      GetConsoleOutputCP() != CP_UTF8) {
    console_code_page = GetConsoleOutputCP();
    if (SetConsoleOutputCP(CP_UTF8) != 0) std::atexit(restore_console);
  }
  // The C runtime buffers _IOLBF streams fully; unbuffered still writes each printf whole.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}
