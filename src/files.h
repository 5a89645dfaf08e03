// The files a run opens: the inputs it reads, and the outputs it writes,
// from their opening until the run lets go of them. Every function here ends
// the process with one line on standard error where it fails.
#pragma once

#include <cstdint>

#include "file_identity.h"

// A file being read, and the name to report it by.
struct Input {
  int fd;
  const char* path;
};

// A file being written. Its bytes go at `size`, the count written so far.
struct Output {
  int fd;  // -1 where it could not be opened; errno tells why
  const char* path;
  FileIdentity opened;   // what the descriptor showed when opened
  std::uint64_t size;    // bytes the tool wrote
  FileIdentity written;  // what the descriptor showed once written (finish_output)
  int watch;             // set from its claim until the run lets go of it, or -1
  bool others_only;      // the watch reports other programs' writes only
  // Where the tool read its bytes back (the watch can't tell its own writes
  // from others'): a hash of what it read, so bytes already checked are
  // checked again, unchanged, when more are appended (a merge).
  std::uint64_t read_back;
};

// The read_back of an output nothing was read back of.
constexpr std::uint64_t nothing_read_back = 14695981039346656037u;  // FNV-1a's start

// Opens path for writing without emptying it, so the caller can check
// `opened` before a byte of it is lost; a failed open leaves fd at -1 for the
// caller to report. A FIFO with no reader after a second gets a line saying
// the run waits for one. Ends the process where the open file can't be examined.
Output open_output(const char* path);

// Reads back `length` bytes of the output at `at`, folds them into hash, and
// tells whether they are those of `from` at `from_at`, or where from is null,
// `fill` bytes; with fill -1, only hashes them.
bool holds(const Output& out, std::uint64_t at, const Input* from, std::uint64_t from_at,
           std::uint64_t length, int fill, std::uint64_t& hash);

// Brings the output's bytes to stable storage.
void sync_output(const Output& out);

void close_input(const Input& in);
void close_output(const Output& out);
