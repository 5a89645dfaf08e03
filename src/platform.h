// The file calls the tool makes, behind one seam so the operations carry no
// operating-system detail. Everything in sys:: only reports: a call that fails
// returns -1 (or false) with errno set, interrupted calls are retried, and the
// caller decides what a failure means. Nothing here keeps state between calls,
// changes the process's signals, or may end it. Folders are held open and
// named by descriptor, so names in them are reached whatever happens to the
// path that led there; no descriptor handed out is 0, 1 or 2, so a closed
// standard stream never becomes a file the tool writes.
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
// The path that opening path would write: its symbolic links followed, the
// last one possibly dangling (then the file it would create).
std::string follow_links(const char* path);

// Opens an existing file for reading only, once the caller could open it for
// update (-1 with EACCES or EROFS where not): the image is never written, and
// an open for writing would copy a file in an overlay's lower layer up. Where
// the system can (Windows), no other program may write it while it is open.
int open_image(int folder, const char* name);
int open_input(int folder, const char* name);
// Creates a file in folder that no other program can name (Linux's O_TMPFILE;
// elsewhere a fresh hidden name made from `hidden` and the attempt, created
// exclusively), for writing, mode 0666 less the umask. temp gets the name it
// has, "" where it has none.
int open_private(int folder, const std::string& hidden, std::string& temp);
// Gives the private file fd a hidden name in folder, made from `hidden` and
// an attempt, where it has none; temp is then that name.
int name_private(int folder, int fd, const std::string& hidden, std::string& temp);
// Renames from over to within the folder, replacing what is there in one
// step: readers of `to` find the old file or the new one.
int rename_over(int folder, const char* from, const char* to);
// Opens an existing output for writing where it is (FIFOs, devices, a file in
// a folder that takes no new one), without emptying it. A block device is
// opened so that no second writer can have it (Linux: O_EXCL). A FIFO waits
// for a reader; with wait false, returns -1 with ENXIO at once where none is
// there yet.
int open_in_place(int folder, const char* name, bool wait);
// Empties (size 0) or sets the size of the regular file open as fd.
int set_size(int fd, std::uint64_t size);
// Gives fd the permission bits, and where the process may, the owner and
// group, of `like`, the file it replaces.
void take_attributes(int fd, const FileIdentity& like);
int close_file(int fd);

// Reads at most size bytes at offset; returns 0 at the end of the file.
std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes at offset; returns how many were written.
std::int64_t write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes where the file stands (pipes and devices have no
// offsets). A reader gone from a pipe is EPIPE, never a signal.
std::int64_t write_next(int fd, const void* buffer, std::size_t size);

// Copies up to size bytes from one regular file to another inside the kernel,
// at the offsets given, moving neither file's own offset. Returns the count
// copied, 0 where the kernel sees the end, or -1 where it can't copy these
// files or failed (the caller then moves the bytes itself, from the same offsets).
std::int64_t kernel_copy(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                         std::size_t size);
// The first stretch of data in the file open as fd at or after `at`:
// [start, end), end the largest value where the stretch may run to the end of
// the file; start the largest value where only a hole is left. Where the
// system can't find holes, everything from `at` on is data.
void find_data(int fd, std::uint64_t at, std::uint64_t& start, std::uint64_t& end);
// Reserves the space that length bytes of `from` at from_at will need at
// to_at in `to`, before they are copied, so a copy that can't fit fails at
// once: -1 with errno (ENOSPC, EDQUOT, EFBIG) where it can't; 0 where it is
// reserved, needs no space of its own (the blocks will be shared), or the
// system can't reserve.
int reserve_space(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                  std::uint64_t length);
// The largest file the process may write (RLIMIT_FSIZE); UINT64_MAX where unlimited.
std::uint64_t file_size_limit();

// Asks the kernel to start writing the given bytes of fd to disk, without
// waiting for them; a hint only, it never fails.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
// Waits until fd's data, and with attributes its link count, mode and owner,
// are on stable storage; returns 0, also for what keeps nothing of its own
// (pipes and devices such as /dev/null), which can't be synced.
int sync_file(int fd, bool attributes);
// Makes the entries of the folder durable; returns 0, also where there is nothing to sync.
int sync_folder(int folder);

// Clocks. A file's times come from the file system's clock, which moves in
// ticks (whole seconds on some, two on FAT): a change within the tick of a
// recorded time could leave that time as it was. wait_out_tick returns once
// the tick of `time` (a file's time in the units of FileIdentity) is over, so
// that any change from then on shows in the times. changes_show reports
// whether the file system of the regular file fd, which the caller may
// change, gives every change after a look a time of its own (Linux 6.13's
// fine-grained times): then no tick needs waiting out.
void wait_out_tick(std::int64_t time);
bool changes_show(int fd, const FileIdentity& now);

// Why the file name in folder could not be removed, or nullptr where nothing
// shows that it could not: a read-only mount, a folder the process may not
// write, a sticky folder whose entry the process does not own, a file or
// folder marked immutable or append-only, a mount point.
const char* why_unremovable(int folder, const char* name);
// Renames from to to within the folder unless something is at to already
// (then -1, EEXIST).
int rename_new_at(int folder, const char* from, const char* to);
int remove_at(int folder, const char* name);
// True where moving a file within the folder may copy its data first (an
// overlay, whose lower layer's files are copied up to be renamed).
bool moving_copies(int folder);
// The first name in the folder that `matches`, or "" where none does.
std::string find_name(int folder, bool (*matches)(const char* name, const void* key),
                      const void* key);
void close_folder(int folder);

// The last component of path: what follows its last separator.
const char* last_component(const char* path);
// True when two last components of paths name one entry in a directory: the
// same bytes, or where the platform's usual file systems ignore case (Windows,
// macOS), the same but for ASCII case.
bool same_name(const char* a, const char* b);
long process_id();

// True when fd is a terminal (a console on Windows).
bool is_terminal(int fd);
// Milliseconds from an arbitrary start, never going back.
std::uint64_t monotonic_ms();

// For the command's operations, which print: closed standard streams are
// pointed at the null device, so that no file opened later takes their place.
void fill_closed_streams();
// For the command alone, which owns its process. set_up_console makes writes
// to a reader that left fail instead of ending the process (and writes past
// the file size limit too), and writes standard output line by line.
// hold_stop_signals holds the signals that end a run from a terminal or a
// service manager (SIGINT, SIGTERM, SIGHUP; Ctrl+C on Windows) from the
// image's removal on, so the run finishes and says so; false where one came
// already (it is then let go, to act).
void set_up_console();
bool hold_stop_signals();

}  // namespace sys
