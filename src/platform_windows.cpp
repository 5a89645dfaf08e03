// The file calls on Windows, through the C runtime's descriptors.
#include <fcntl.h>
#include <io.h>
#include <process.h>
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

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Why a call failed, as the errno value closest to the system's error.
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
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// Describes the open handle: the volume serial number and file index name a
// file (st_ino means nothing here); NUL, consoles and pipes have neither.
FileIdentity describe(HANDLE handle) {
  FileIdentity id{};
  DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    id.kind = type == FILE_TYPE_PIPE ? Kind::pipe : Kind::device;
    return id;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandle(handle, &info) == 0 ||
      GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) == 0) {
    id.error = errno_of(GetLastError());
    return id;
  }
  id.device = info.dwVolumeSerialNumber;
  id.inode = join(info.nFileIndexHigh, info.nFileIndexLow);
  id.size = join(info.nFileSizeHigh, info.nFileSizeLow);
  id.modified = basic.LastWriteTime.QuadPart;
  id.changed = basic.ChangeTime.QuadPart;
  return id;
}

// Describes the file or folder at path without opening it for reading or writing.
FileIdentity describe(const char* path) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{.error = errno_of(GetLastError())};
  FileIdentity id = describe(handle);
  CloseHandle(handle);
  return id;
}

UINT console_code_page = 0;  // restored at exit

void restore_console() { SetConsoleOutputCP(console_code_page); }

}  // namespace

int sys::open_image(const char* path) { return _open(path, _O_RDWR | _O_BINARY | _O_NOINHERIT); }

int sys::open_input(const char* path) { return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int sys::open_output(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int sys::empty_file(int fd) { return _chsize_s(fd, 0) == 0 ? 0 : -1; }

void sys::lock_file(int fd) {
  // Waits while another process holds any part of the file.
  OVERLAPPED whole{};
  LockFileEx(handle_of(fd), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

int sys::close_file(int fd) { return _close(fd); }

std::int64_t sys::read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return _read(fd, buffer, clamp(size));
}

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                           Kind kind) {
  bool positioned = kind == Kind::file || kind == Kind::disk;
  if (positioned && _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return _write(fd, buffer, clamp(size));
}

std::int64_t sys::kernel_copy(int, std::uint64_t, int, std::uint64_t, std::size_t) {
  errno = ENOSYS;  // no file-to-file copy call for descriptors: the block loop does it
  return -1;
}

void sys::start_writeback(int, std::uint64_t, std::uint64_t) {}

int sys::sync_file(int fd) {
  if (GetFileType(handle_of(fd)) != FILE_TYPE_DISK) return 0;  // NUL, consoles and pipes
  return _commit(fd);
}

// NTFS journals its directory entries; there is no call to sync a folder.
char* sys::folder_of(const char*) { return _strdup(""); }

int sys::sync_folder(const char*) { return 0; }

int sys::rename_new(const char* from, const char* to) {
  if (MoveFileExA(from, to, 0) != 0) return 0;  // without MOVEFILE_REPLACE_EXISTING
  errno = errno_of(GetLastError());
  return -1;
}

int sys::remove_file(const char* path) { return std::remove(path); }

const char* sys::last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') last = p + 1;
  }
  return last;
}

long sys::process_id() { return _getpid(); }

FileIdentity sys::identify(const char* path) {
  FileIdentity id = describe(path);
  if (id.error != ENOENT) return id;
  // Nothing there yet: what it would become is named by its folder and last component.
  id.name = last_component(path);
  auto length = static_cast<std::size_t>(id.name - path);
  const char* prefix = length > 0 ? path : ".";
  if (length == 0) length = 1;
  auto* dir = static_cast<char*>(std::malloc(length + 2));
  if (dir == nullptr) return FileIdentity{.error = ENOMEM};
  std::memcpy(dir, prefix, length);
  dir[length] = '\0';
  if (dir[length - 1] == ':') std::strcpy(dir + length, ".");  // "C:" names no folder; "C:." does
  FileIdentity folder = describe(dir);
  std::free(dir);
  if (folder.error == 0) {
    id.device = folder.device;
    id.inode = folder.inode;
  } else if (folder.error != ENOENT) {
    id.error = folder.error;
  }
  return id;
}

FileIdentity sys::identify_open(int fd) {
  HANDLE handle = handle_of(fd);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{.error = EBADF};
  return describe(handle);
}

bool sys::same_name(const char* a, const char* b) { return _stricmp(a, b) == 0; }

bool sys::is_terminal(int fd) { return _isatty(fd) != 0; }

std::uint64_t sys::monotonic_ms() { return GetTickCount64(); }

void sys::set_up_console() {
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
