// The one routine that moves bytes between files, for every copy the tool makes.
#pragma once

#include <cstdint>

// An open file and the name to report it by.
struct Stream {
  int fd;
  const char* path;
};

// Copies from `from`'s current offset to `to`'s until limit bytes have been
// copied or `from` ends; returns the count copied. Ends the process naming the
// file on any read or write error.
std::uint64_t copy_data(const Stream& from, const Stream& to, std::uint64_t limit);

// Writes count copies of byte to `to`; ends the process naming the file on error.
void write_fill(const Stream& to, unsigned char byte, std::uint64_t count);

// Brings `to`'s data to stable storage; ends the process naming the file on error.
void sync_output(const Stream& to);

// Brings the directory entries of the files at first and second (or first
// alone, where second is null) to stable storage; ends the process on error.
void sync_names(const char* first, const char* second);

// Closes the file; ends the process naming the file on error.
void close_stream(const Stream& file);
