// The file calls the tool makes, behind one seam so the operations carry no
// operating-system detail. Everything in sys:: only reports: a call that fails
// returns -1 (or false) with errno set, interrupted calls are retried, and the
// caller decides what a failure means. Outside sys::, functions end the
// process on failure instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_identity.h"

namespace sys {

// Opens an existing file for reading only, once the caller could open it for
// update (-1 with EACCES or EROFS where not): the image is never written, and
// an open for writing would copy a file in an overlay's lower layer up.
int open_image(const char* path);
// Opens an existing file for reading only.
int open_input(const char* path);
// Opens path for writing only, creating it (mode 0666 less the umask) but not
// emptying it, so the caller can check what it opened first; where the system
// can, no other program may open it for writing while it is open (Windows).
// A FIFO's open waits for a reader, and any reader pairs with it at once;
// where timed, an open still waiting after a second returns -1 with
// ETIMEDOUT, so the caller can say why it waits before it calls again untimed.
int open_output(const char* path, bool timed);
// Empties the regular file open as fd (other kinds have nothing to empty); returns 0.
int empty_file(int fd);
// Locks the regular file open as fd against other runs of the tool. Where
// another process holds the lock, returns false at once, or with wait set,
// waits for it. Where no lock can be taken at all, returns true: the checks
// before a removal still guard.
bool lock_file(int fd, bool wait);
int close_file(int fd);
// Pauses the process.
void sleep_ms(unsigned ms);

// Reads at most size bytes at offset; returns 0 at the end of the file.
std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes at offset; returns how many were written.
std::int64_t write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes where the file stands (pipes and devices have no
// offsets); returns how many were written.
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
// Sets the size of the regular file open as fd, which the tool is writing:
// a stretch it left as a hole at the end is part of the file.
int set_size(int fd, std::uint64_t size);

// Asks the kernel to start writing the given bytes of fd to disk, without
// waiting for them; a hint only, it never fails.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
// Waits until fd's data is on stable storage; returns 0, also for what keeps
// nothing of its own (pipes and devices such as /dev/null), which can't be synced.
int sync_file(int fd);
// The folder that holds the file path reaches (through symbolic links: the
// folder that got the file's entry); false where it can't be found. Where the
// system needs no folder sync (Windows), an empty string.
bool folder_of(const char* path, std::string& folder);
// Makes the entries of the folder durable; returns 0, also where there is nothing to sync.
int sync_folder(const char* folder);

// Change notification: what happened to a file since the tool began to
// watch it, whatever the file system's clock. Returns a watch on the file
// open as fd, which path names, or -1 with errno set where none can be set.
// others_only tells whether the watch reports only what other programs do
// (fanotify, which names who made each change; Windows, where the files the
// tool holds are open to no other writer and the watch holds them so until
// it ends): where not (inotify, kqueue), the tool's own writes show too.
int watch_file(int fd, const char* path, bool& others_only);
// What watch_seen reports, as bits.
constexpr unsigned seen_moved = 1;    // renamed (by the tool itself too, where not others_only)
constexpr unsigned seen_changed = 2;  // written, truncated, attributes or links changed, removed
constexpr unsigned seen_lost = 4;     // the notices overflowed: any change may have been missed
// What happened to the watched file since the watch began or was last asked.
unsigned watch_seen(int watch);
void unwatch(int watch);

// True where the file system keeps id's times to the second or coarser (FAT,
// exFAT, HFS+, ext4 with small inodes): a change within that span leaves them
// as they were.
bool coarse_times(const FileIdentity& id);
// Waits until a change made to id's file from now on can't leave its time of
// change as recorded, on a file system whose times are coarse.
void wait_out_clock(const FileIdentity& id);

// Why the file name in folder could not be removed, or nullptr where nothing
// shows that it could not: a read-only mount, a folder the process may not
// write, a sticky folder whose entry the process does not own, or a file or
// folder marked immutable or append-only.
const char* why_unremovable(int folder, const char* name);

// Holds the signals that end a run from a terminal or a service manager
// (SIGINT, SIGTERM, SIGHUP): once the input goes, the run finishes and says
// so. Returns false where one came before it was held: the caller then lets
// it act (release_signals) instead of removing anything.
bool hold_signals();
// Lets held signals act again: a pending one ends the process.
void release_signals();

// A folder held open, so that names in it are reached whatever happens to
// the path that led there. Opens the folder holding path's last component.
int open_folder_of(const char* path);
void close_folder(int folder);
// As identify, for a name in the folder.
FileIdentity identify_at(int folder, const char* name);
// Renames from to to within the folder unless something is at to already
// (then -1, EEXIST).
int rename_new_at(int folder, const char* from, const char* to);
int remove_at(int folder, const char* name);
// True where moving a file within the folder may copy its data first (an
// overlay, whose lower layer's files are copied up to be renamed).
bool moving_copies(int folder);
// The first name in the folder that starts with prefix, or "" where none does.
std::string find_name(int folder, const char* prefix);

// The last component of path: what follows its last separator.
const char* last_component(const char* path);
// The folder that holds path's last component, as a name the file calls
// take: "." where path names none.
std::string folder_name(const char* path);
long process_id();

// Describes the file that path names, following symbolic links.
FileIdentity identify(const char* path);
// Describes the file open as fd.
FileIdentity identify_open(int fd);
// True when two last components of paths name one entry in a directory: the
// same bytes, or where the platform's usual file systems ignore case (Windows,
// macOS), the same but for ASCII case.
bool same_name(const char* a, const char* b);

// True when fd is a terminal (a console on Windows).
bool is_terminal(int fd);
// Milliseconds from an arbitrary start, never going back.
std::uint64_t monotonic_ms();

// Readies the console streams: closed standard streams point at the null
// device, so no file the tool opens can take their place and receive console
// lines; a reader that leaves a pipe makes writes fail instead of ending the
// process; standard output writes each line as it is printed, so the log of a
// killed run shows the stage it reached; a Windows console shows UTF-8 names.
void set_up_console();

}  // namespace sys
