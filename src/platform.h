// The file calls the tool makes, behind one seam so the operations carry no
// operating-system detail. Unless said otherwise, a call that fails returns -1
// with errno set; interrupted calls are retried here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens an existing file for reading and update, as the image is opened.
int open_image(const char* path);
// Opens an existing file for reading only.
int open_input(const char* path);
// Creates or truncates a file for reading and writing (mode 0666 less the umask).
int create_output(const char* path);
int close_file(int fd);

// Reads at most size bytes at the current offset; returns 0 at the end of the file.
std::int64_t read_some(int fd, void* buffer, std::size_t size);
// Reads up to size bytes at offset; returns fewer only where the file ends.
// The file offset may move (it does on Windows), so use it on a file opened for this.
std::int64_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);
// Writes at most size bytes; returns how many were written, never 0 for size > 0.
std::int64_t write_some(int fd, const void* buffer, std::size_t size);
// Sets the file offset counted from the start; returns 0.
int seek_to(int fd, std::uint64_t offset);

// Copies up to size bytes between the current offsets of two files inside the
// kernel (sharing blocks where the file system can). Returns the count copied,
// 0 where the kernel sees the end, or -1 where it can't copy these files (the
// caller then moves the bytes itself, from the offsets as they then stand).
std::int64_t kernel_copy(int from, int to, std::size_t size);

// Asks the kernel to start writing the length bytes just before the file's
// current offset to disk, without waiting for them; a hint only, it never fails.
void start_writeback(int fd, std::uint64_t length);
// Waits until the file's data is on stable storage; returns 0, also for files
// that hold no storage of their own (character devices, pipes).
int sync_file(int fd);
// Makes the directory entries of the regular files at first and second (which
// may be null) durable, syncing a directory they share once; returns 0, also
// where there is nothing to sync.
int sync_directories_of(const char* first, const char* second);

int remove_file(const char* path);

// What the tool knows of the file a path names: enough to tell whether two
// paths name one file, and whether a file changed.
struct FileIdentity {
  // 0 where the path names a file; ENOENT where nothing is there yet; otherwise
  // (an errno value) why the path can't be examined.
  int error;
  bool stream;  // a character device or pipe: writes to it never overwrite each other
  // The file, or where nothing is there yet, the directory that would hold it
  // (both 0 where that directory does not exist either, so nothing can be made there).
  std::uint64_t device;
  std::uint64_t inode;
  std::uint64_t size;
  std::int64_t modified;  // last write, in the system's own units
  const char* name;       // where nothing is there yet: the path's last component
};
// Describes the file that path names, following symbolic links.
FileIdentity identify(const char* path);

// True when two last components of paths name one entry in a directory: the
// same bytes, or where the platform's usual file systems ignore case (Windows,
// macOS), the same but for ASCII case.
bool same_name(const char* a, const char* b);

// True when stream is a terminal (a console on Windows).
bool is_terminal(std::FILE* stream);
// Milliseconds from an arbitrary start, never going back.
std::uint64_t monotonic_ms();

// Readies the console streams: closed standard streams point at the null
// device, so no file the tool opens can take their place and receive console
// lines; standard output writes each line as it is printed, so the log of a
// killed run shows the stage it reached; a Windows console shows UTF-8 names.
void set_up_console();
