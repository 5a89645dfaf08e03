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
#include <mutex>
#include <string>
#include <utility>

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

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD no_writer = FILE_SHARE_READ | FILE_SHARE_DELETE;

// Why a call failed, as the errno value closest to the system's error.
int errno_of(DWORD error) {
  static const std::pair<DWORD, int> closest[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},  {ERROR_SHARING_VIOLATION, EBUSY},
      {ERROR_LOCK_VIOLATION, EBUSY},  {ERROR_INVALID_NAME, EINVAL},
      {ERROR_ALREADY_EXISTS, EEXIST}, {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_DISK_FULL, ENOSPC},      {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_NOT_SAME_DEVICE, EXDEV}, {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}};
  for (const auto& [win, posix] : closest)
    if (win == error) return posix;
  return EIO;
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
  id.links = info.nNumberOfLinks;
  id.modified = basic.LastWriteTime.QuadPart;
  id.changed = basic.ChangeTime.QuadPart;
  return id;
}

// Describes the file or folder at path without opening it for reading or writing.
FileIdentity describe(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{.error = errno_of(GetLastError())};
  FileIdentity id = describe(handle);
  CloseHandle(handle);
  return id;
}

// Opens path with CreateFileW as a C runtime descriptor; -1 with errno set
// where that fails.
int open_as(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
            int crt_flags) {
  HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), crt_flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

int status_of(BOOL ok) {
  if (ok != 0) return 0;
  errno = errno_of(GetLastError());
  return -1;
}

// Narrow names are the process's code page (UTF-8, by the tool's manifest);
// the wide calls take paths past MAX_PATH.
std::wstring wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  int n =
      MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  return out;
}

std::string narrow(const wchar_t* text) {
  char out[MAX_PATH * 4];
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, static_cast<std::size_t>(n - 1)) : std::string();
}

// The path of name in the folder open as folder: Windows names files by path
// only. The devices every folder has (NUL, CON) are named as they are.
std::wstring in_folder(int folder, const char* name) {
  if (_stricmp(name, "NUL") == 0 || _stricmp(name, "CON") == 0) return wide(name);
  std::wstring path(32768, L'\0');
  DWORD n = GetFinalPathNameByHandleW(handle_of(folder), path.data(),
                                      static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
  if (n == 0 || n >= path.size()) return wide(name);
  path.resize(n);
  if (path.back() != L'\\') path += L'\\';
  return path + wide(name);
}

std::int64_t now_100ns() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>(join(now.dwHighDateTime, now.dwLowDateTime));
}

// The private file Ctrl+C removes (remove_on_stop), in the handler's own
// thread: the command's alone.
std::mutex stop_lock;
std::wstring stop_path;  // NOLINT(cert-err58-cpp)
bool handling_stops = false;

BOOL WINAPI remove_and_stop(DWORD) {
  std::lock_guard<std::mutex> hold(stop_lock);
  if (!stop_path.empty()) DeleteFileW(stop_path.c_str());
  return FALSE;  // the next handler, the system's, ends the process
}

}  // namespace

int sys::open_folder_of(const char* path) {
  std::string folder(path, static_cast<std::size_t>(last_component(path) - path));
  // "C:" names no folder but the drive's current one, which "C:." names.
  if (folder.empty() || folder.back() == ':') folder += '.';
  return open_as(wide(folder), 0, share_all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, _O_RDONLY);
}

FileIdentity sys::identify_at(int folder, const char* name) {
  return describe(in_folder(folder, name));
}

FileIdentity sys::identify_open(int fd) {
  HANDLE handle = handle_of(fd);
  if (handle == INVALID_HANDLE_VALUE) return FileIdentity{.error = EBADF};
  return describe(handle);
}

std::string sys::follow_links(const char* path) { return path; }

// Open to no other writer while the run holds it (no FILE_SHARE_WRITE), yet
// free to be moved aside and removed; one already writing makes it fail (EBUSY).
int sys::open_input(int folder, const char* name) {
  return open_as(in_folder(folder, name), GENERIC_READ, no_writer, OPEN_EXISTING,
                 FILE_ATTRIBUTE_NORMAL, _O_RDONLY);
}

// The read-only attribute.
int sys::may_write(int folder, const char* name) {
  return _waccess(in_folder(folder, name).c_str(), 2);
}

int sys::open_unnamed(int) {
  errno = EOPNOTSUPP;  // no unnamed files
  return -1;
}

// Open to readers but to no other writer.
int sys::create_new(int folder, const char* name) {
  return open_as(in_folder(folder, name), GENERIC_WRITE, no_writer, CREATE_NEW,
                 FILE_ATTRIBUTE_NORMAL, _O_WRONLY);
}

int sys::link_unnamed(int, int, const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

int sys::rename_over(int folder, const char* from, const char* to) {
  // Written through, as a folder sync would be.
  return status_of(MoveFileExW(in_folder(folder, from).c_str(), in_folder(folder, to).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

int sys::open_in_place(int folder, const char* name, bool) {
  return open_as(in_folder(folder, name), GENERIC_WRITE, no_writer, OPEN_EXISTING,
                 FILE_ATTRIBUTE_NORMAL, _O_WRONLY);
}

int sys::set_size(int fd, std::uint64_t size) {
  return _chsize_s(fd, static_cast<__int64>(size)) == 0 ? 0 : -1;
}

void sys::take_attributes(int, const FileIdentity&) {}

int sys::close_file(int fd) { return fd < 0 ? 0 : _close(fd); }

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

// Holes are not looked for (the copy is dense), nor space reserved.
void sys::find_data(int, std::uint64_t at, std::uint64_t& start, std::uint64_t& end) {
  start = at;
  end = UINT64_MAX;
}
int sys::reserve_space(int, std::uint64_t, int, std::uint64_t, std::uint64_t) { return 0; }
std::uint64_t sys::file_size_limit() { return UINT64_MAX; }

void sys::start_writeback(int, std::uint64_t, std::uint64_t) {}

int sys::sync_file(int fd, bool) {
  if (GetFileType(handle_of(fd)) != FILE_TYPE_DISK) return 0;  // NUL, consoles and pipes
  return _commit(fd);
}

// NTFS journals its directory entries; there is no call to sync a folder.
int sys::sync_folder(int) { return 0; }

void sys::wait_out_tick(std::int64_t time) {
  // FAT keeps times to two seconds; NTFS takes them from the system clock.
  const std::int64_t grain = time % 20000000 == 0 ? 20000000 : 1;
  while (now_100ns() / grain * grain <= time) Sleep(1);
}

// What the run writes it holds open to no other writer until it ends.
bool sys::changes_show(int, const FileIdentity&) { return true; }

// The read-only attribute keeps the image from opening (may_write); folders
// have no such rule the tool could read beforehand.
const char* sys::why_unremovable(int, const char*) { return nullptr; }

int sys::rename_new_at(int folder, const char* from, const char* to) {
  return status_of(MoveFileExW(in_folder(folder, from).c_str(), in_folder(folder, to).c_str(),
                               MOVEFILE_WRITE_THROUGH));
}

int sys::remove_at(int folder, const char* name) {
  return status_of(DeleteFileW(in_folder(folder, name).c_str()));
}

bool sys::moving_copies(int) { return false; }

std::string sys::find_name(int folder, bool (*matches)(const char* name, const void* key),
                           const void* key) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(in_folder(folder, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return "";
  std::string name;
  do {
    const std::string entry = narrow(found.cFileName);
    if (matches(entry.c_str(), key)) name = entry;
  } while (name.empty() && FindNextFileW(search, &found) != 0);
  FindClose(search);
  return name;
}

const char* sys::last_component(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\' || *p == ':') last = p + 1;
  return last;
}

long sys::process_id() { return _getpid(); }

bool sys::is_terminal(int fd) { return _isatty(fd) != 0; }

void sys::fill_closed_streams() {}

void sys::set_up_console() {
  // A console shows the UTF-8 bytes of the echo line as the names typed; files and pipes get
  // the bytes unchanged either way.
  static UINT console_code_page = 0;  // the command's own, restored at its exit
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0 &&
      GetConsoleOutputCP() != CP_UTF8) {
    console_code_page = GetConsoleOutputCP();
    if (SetConsoleOutputCP(CP_UTF8) != 0)
      std::atexit([] { SetConsoleOutputCP(console_code_page); });
  }
  // The C runtime buffers _IOLBF streams fully; unbuffered still writes each printf whole.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  SetConsoleCtrlHandler(remove_and_stop, TRUE);
  handling_stops = true;
}

// Ctrl+C and Ctrl+Break are ignored from here on; the console gives no way to
// ask whether one came before.
bool sys::hold_stop_signals() {
  SetConsoleCtrlHandler(remove_and_stop, FALSE);
  SetConsoleCtrlHandler(nullptr, TRUE);
  return true;
}

void sys::remove_on_stop(int folder, const char* name) {
  if (!handling_stops) return;
  std::lock_guard<std::mutex> hold(stop_lock);
  stop_path = name == nullptr ? std::wstring() : in_folder(folder, name);
}
