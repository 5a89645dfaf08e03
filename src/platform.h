// The file calls the tool makes, behind one seam. Everything in sys:: only
// reports: a failed call returns -1 (or false) with errno set, interrupted
// calls are retried, the caller decides what a failure means. Nothing keeps
// state or changes the process but the last four, for the command alone.
// Folders are held open and named by descriptor, so a name in one is reached
// whatever happens to the path that led there; no descriptor handed out is
// 0, 1 or 2, so a closed standard stream never becomes a file the tool writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_identity.h"

namespace sys {

// Opens the folder that holds path's last component ("." where path names none).
int open_folder_of(const char* path);
// Describes name in folder (following a symbolic link), or the open fd.
FileIdentity identify_at(int folder, const char* name);
FileIdentity identify_open(int fd);
// What opening path would write: its symbolic links followed, the last one
// possibly dangling.
std::string follow_links(const char* path);

// Opens an existing file for reading only. Where the system can (Windows), no
// other program may write it while it is open.
int open_input(int folder, const char* name);
// 0 where the process may write name in folder, as an open for writing would
// find, without opening it (that would copy an overlay's lower file up); else
// -1 (EACCES, EROFS, EPERM for an immutable file).
int may_write(int folder, const char* name);
// Creates a file in folder, for writing, that has no name (Linux's O_TMPFILE):
// no other program can reach it. -1 with EOPNOTSUPP where there are none.
int open_unnamed(int folder);
// Creates name in folder for writing, where nothing has that name yet (EEXIST).
int create_new(int folder, const char* name);
// Gives the unnamed file fd a name in folder (EEXIST where it is taken).
int link_unnamed(int folder, int fd, const char* name);
// Renames from over to, in one step: readers of `to` find the old file or the new one.
int rename_over(int folder, const char* from, const char* to);
// Renames from to to unless something is at to already (then -1, EEXIST).
int rename_new_at(int folder, const char* from, const char* to);
int remove_at(int folder, const char* name);
// Opens an existing output where it is (a FIFO, a device, a file in a folder
// that takes no new one), without emptying it; a block device so that no
// second writer can have it (Linux: O_EXCL). A FIFO waits for a reader, or
// without wait fails at once (ENXIO) where none is there yet.
int open_in_place(int folder, const char* name, bool wait);
int set_size(int fd, std::uint64_t size);
// Gives fd the permission bits of `like`, and its owner and group where the process may.
void take_attributes(int fd, const FileIdentity& like);
int close_file(int fd);  // a folder's too; -1 is let be

// Reads at most size bytes at offset; 0 at the end of the file.
std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes at offset, or where the file stands (pipes and
// devices); returns how many. A reader gone from a pipe is EPIPE, never a signal.
std::int64_t write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset);
std::int64_t write_next(int fd, const void* buffer, std::size_t size);
// Copies up to size bytes between regular files inside the kernel; the
// count, 0 at the end, or -1 where it can't (the caller then copies from the
// same offsets).
std::int64_t kernel_copy(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                         std::size_t size);
// The first stretch of data at or after `at`: [start, end), end the largest
// value where it may run to the end, start the largest where only a hole is
// left. Where holes can't be found, everything from `at` is data.
void find_data(int fd, std::uint64_t at, std::uint64_t& start, std::uint64_t& end);
// Reserves the space length bytes of `from` (-1: bytes the tool writes
// itself) will take at to_at in `to`, so a copy that can't fit fails at once
// (-1: ENOSPC, EDQUOT, EFBIG); 0 also where blocks will be shared or nothing
// can be reserved.
int reserve_space(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                  std::uint64_t length);
// The largest file the process may write (RLIMIT_FSIZE); UINT64_MAX where unlimited.
std::uint64_t file_size_limit();

// Starts writing the given bytes of fd to disk without waiting; a hint only.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
// Waits until fd's data, and with attributes its link count, mode and owner,
// are on stable storage; 0 also for pipes and devices, which keep nothing.
int sync_file(int fd, bool attributes);
// Makes the folder's entries durable; 0 also where there is nothing to sync.
int sync_folder(int folder);

// File times move in the file system's clock ticks (seconds on some, two on
// FAT): a change within the tick of a recorded time could leave it as it was.
// wait_out_tick returns once the tick of `time` (FileIdentity's units) is
// over. changes_show tells whether the file system of the regular file fd,
// which the caller may change, gives every change a time of its own (Linux
// 6.13's fine-grained times), so that no tick needs waiting out.
void wait_out_tick(std::int64_t time);
bool changes_show(int fd, const FileIdentity& now);

// Why name in folder could not be removed, or nullptr where nothing shows it:
// a read-only mount, a folder the process may not write, a sticky folder, an
// immutable or append-only file or folder, a mount point.
const char* why_unremovable(int folder, const char* name);
// True where moving a file within the folder may copy its data first (an
// overlay, whose lower layer's files are copied up to be renamed).
bool moving_copies(int folder);
// The first name in the folder that `matches`, or "".
std::string find_name(int folder, bool (*matches)(const char* name, const void* key),
                      const void* key);

// What follows path's last separator.
const char* last_component(const char* path);
long process_id();
bool is_terminal(int fd);

// For the command's operations, which print: closed standard streams are
// pointed at the null device, so that no file opened later takes their place.
void fill_closed_streams();
// For the command alone. set_up_console makes writes to a reader that left,
// or past the file size limit, fail instead of ending the process, writes
// standard output line by line, and has SIGINT, SIGTERM and SIGHUP (Ctrl+C
// on Windows) first remove the private file remove_on_stop last named
// (nullptr: none), so a stopped run leaves no partial copy under a hidden
// name. hold_stop_signals holds them from the image's removal on, so the run
// finishes and says so; false where one came already (it then acts).
void set_up_console();
bool hold_stop_signals();
void remove_on_stop(int folder, const char* name);

}  // namespace sys
