// The file calls the tool makes, behind one seam so the operations carry no
// operating-system detail. Everything in sys:: only reports: a call that fails
// returns -1 (or null) with errno set, interrupted calls are retried, and the
// caller decides what a failure means. Outside sys::, functions end the
// process on failure instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file_identity.h"

namespace sys {

// Opens an existing file for reading and update, as the image is opened.
int open_image(const char* path);
// Opens an existing file for reading only.
int open_input(const char* path);
// Opens path for writing only, creating it (mode 0666 less the umask) but not
// emptying it, so the caller can check what it opened first. A FIFO without a
// reader waits for one.
int open_output(const char* path);
// Empties the regular file open as fd (other kinds have nothing to empty); returns 0.
int empty_file(int fd);
// Locks the regular file open as fd against other runs of the tool, waiting
// while another process holds the lock. A courtesy between runs, it never
// fails: where no lock can be taken, the checks before a removal still guard.
void lock_file(int fd);
int close_file(int fd);

// Reads at most size bytes at offset; returns 0 at the end of the file.
std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes at offset (or, for pipes and devices, where they
// stand); returns how many were written.
std::int64_t write_at(int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                      Kind kind);

// Copies up to size bytes from one regular file to another inside the kernel,
// at the offsets given, moving neither file's own offset. Returns the count
// copied, 0 where the kernel sees the end, or -1 where it can't copy these
// files or failed (the caller then moves the bytes itself, from the same offsets).
std::int64_t kernel_copy(int from, std::uint64_t from_at, int to, std::uint64_t to_at,
                         std::size_t size);

// Asks the kernel to start writing the given bytes of fd to disk, without
// waiting for them; a hint only, it never fails.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
// Waits until fd's data is on stable storage; returns 0, also for what keeps
// nothing of its own (pipes and devices such as /dev/null), which can't be synced.
int sync_file(int fd);
// Returns, allocated, the folder that holds the file path reaches (through
// symbolic links: the folder that got the file's entry), or null. Where the
// system needs no folder sync (Windows), an empty string.
char* folder_of(const char* path);
// Makes the entries of the folder durable; returns 0, also where there is nothing to sync.
int sync_folder(const char* folder);

// Renames from to to unless something is at to already (then -1, EEXIST).
int rename_new(const char* from, const char* to);
int remove_file(const char* path);
// The last component of path: what follows its last separator.
const char* last_component(const char* path);
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
