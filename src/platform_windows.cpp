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
#include <string>
#include <vector>

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
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
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
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) id.kind = Kind::folder;
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

// A C runtime descriptor for the handle CreateFileA returned; -1 with errno
// set where that open failed.
int descriptor_of(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

// Inputs are opened so that no other program can write them while the run
// holds them (no FILE_SHARE_WRITE), yet can still be moved aside and removed
// (FILE_SHARE_DELETE). One already writing makes the open fail (EBUSY).
int open_shared_for_reading(const char* path) {
  return descriptor_of(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                       _O_RDONLY);
}

std::vector<int> kept_from_writers;  // descriptors opened by open_shared_for_reading

// The folders open_folder_of hands out, by number: Windows names files by path only.
std::vector<std::string> folders;

std::string in_folder(int folder, const char* name) {
  return folders.at(static_cast<std::size_t>(folder)) + name;
}

UINT console_code_page = 0;  // restored at exit

void restore_console() { SetConsoleOutputCP(console_code_page); }

}  // namespace

int sys::open_image(const char* path) {
  if (_access(path, 2) != 0) return -1;  // read-only attribute, or no such file
  return open_input(path);
}

int sys::open_input(const char* path) {
  int fd = open_shared_for_reading(path);
  if (fd >= 0) kept_from_writers.push_back(fd);
  return fd;
}

// Outputs are open to readers but to no other writer while the run holds them
// (no FILE_SHARE_WRITE); one already writing makes the open fail (EBUSY).
int sys::open_output(const char* path, bool) {
  int fd = descriptor_of(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                         _O_WRONLY);
  if (fd >= 0) kept_from_writers.push_back(fd);
  return fd;
}

int sys::empty_file(int fd) { return _chsize_s(fd, 0) == 0 ? 0 : -1; }

bool sys::lock_file(int fd, bool wait) {
  // Windows locks are mandatory: one byte far past any end keeps other runs
  // out while programs that only read the output go on reading it.
  OVERLAPPED past_end{};
  past_end.Offset = MAXDWORD;
  past_end.OffsetHigh = 0x7FFFFFFF;
  DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (LockFileEx(handle_of(fd), flags, 0, 1, 0, &past_end) != 0) return true;
  return GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING;
}

int sys::close_file(int fd) {
  std::erase(kept_from_writers, fd);
  return _close(fd);
}

void sys::sleep_ms(unsigned ms) { Sleep(ms); }

std::int64_t sys::read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return _read(fd, buffer, clamp(size));
}

std::int64_t sys::write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return _write(fd, buffer, clamp(size));
}

std::int64_t sys::write_next(int fd, const void* buffer, std::size_t size) {
  return _write(fd, buffer, clamp(size));
}

std::int64_t sys::kernel_copy(int, std::uint64_t, int, std::uint64_t, std::size_t) {
  errno = ENOSYS;  // no file-to-file copy call for descriptors: the block loop does it
  return -1;
}

void sys::start_writeback(int, std::uint64_t, std::uint64_t) {}

// Holes are not looked for (the copy is dense), nor space reserved.
void sys::find_data(int, std::uint64_t at, std::uint64_t& start, std::uint64_t& end) {
  start = at;
  end = UINT64_MAX;
}
int sys::reserve_space(int, std::uint64_t, int, std::uint64_t, std::uint64_t) { return 0; }
int sys::set_size(int fd, std::uint64_t size) {
  return _chsize_s(fd, static_cast<__int64>(size)) == 0 ? 0 : -1;
}

int sys::sync_file(int fd) {
  if (GetFileType(handle_of(fd)) != FILE_TYPE_DISK) return 0;  // NUL, consoles and pipes
  return _commit(fd);
}

// NTFS journals its directory entries; there is no call to sync a folder.
bool sys::folder_of(const char*, std::string& folder) {
  folder.clear();
  return true;
}

int sys::sync_folder(const char*) { return 0; }

// No notification here: every file the run holds (its inputs, its outputs)
// stays open without FILE_SHARE_WRITE for the whole run instead, so no other
// program can open it for writing; the watch is a second handle that holds it so.
int sys::watch_file(int fd, const char*, bool& others_only) {
  others_only = true;
  if (std::find(kept_from_writers.begin(), kept_from_writers.end(), fd) ==
      kept_from_writers.end()) {
    errno = ENOSYS;
    return -1;
  }
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (DuplicateHandle(GetCurrentProcess(), handle_of(fd), GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS) == 0) {
    errno = errno_of(GetLastError());
    return -1;
  }
  int watch = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY | _O_BINARY);
  if (watch < 0) CloseHandle(copy);
  return watch;
}

unsigned sys::watch_seen(int) { return 0; }

void sys::unwatch(int watch) {
  if (watch >= 0) _close(watch);
}

// Nothing held can change under the run (see watch_file), whatever the clock.
bool sys::coarse_times(const FileIdentity&) { return false; }
void sys::wait_out_clock(const FileIdentity&) {}

// The read-only attribute keeps the image from opening (open_image); folders
// have no such rule the tool could read beforehand.
const char* sys::why_unremovable(int, const char*) { return nullptr; }

// Ctrl+C and Ctrl+Break are ignored while held; the console gives no way to
// ask whether one came before.
bool sys::hold_signals() {
  SetConsoleCtrlHandler(nullptr, TRUE);
  return true;
}
void sys::release_signals() { SetConsoleCtrlHandler(nullptr, FALSE); }

int sys::open_folder_of(const char* path) {
  folders.emplace_back(path, static_cast<std::size_t>(last_component(path) - path));
  return static_cast<int>(folders.size() - 1);
}

void sys::close_folder(int) {}

FileIdentity sys::identify_at(int folder, const char* name) {
  return identify(in_folder(folder, name).c_str());
}

int sys::rename_new_at(int folder, const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING; written through, as a folder sync would be.
  if (MoveFileExA(in_folder(folder, from).c_str(), in_folder(folder, to).c_str(),
                  MOVEFILE_WRITE_THROUGH) != 0) {
    return 0;
  }
  errno = errno_of(GetLastError());
  return -1;
}

int sys::remove_at(int folder, const char* name) {
  return std::remove(in_folder(folder, name).c_str());
}

bool sys::moving_copies(int) { return false; }

std::string sys::find_name(int folder, const char* prefix) {
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((in_folder(folder, prefix) + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return "";
  FindClose(search);
  return found.cFileName;
}

const char* sys::last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\' || *p == ':') last = p + 1;
  }
  return last;
}

std::string sys::folder_name(const char* path) {
  std::string folder(path, static_cast<std::size_t>(last_component(path) - path));
  // "C:" names no folder but the drive's current one, which "C:." names.
  if (folder.empty() || folder.back() == ':') folder += '.';
  return folder;
}

long sys::process_id() { return _getpid(); }

FileIdentity sys::identify(const char* path) { return describe(path); }

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
