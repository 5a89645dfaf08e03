// The files a run opens, from opening to closing: the image or other inputs
// it reads, and the outputs it writes. Every function here ends the process
// with one line on standard error where it fails.
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
  FileIdentity opened;  // what the descriptor showed when opened
  std::uint64_t size;
};

// Opens path for writing without emptying it, so the caller can check
// `opened` before a byte of it is lost; a failed open leaves fd at -1 for the
// caller to report. A FIFO with no reader for a second gets a line saying the
// run waits for one. Ends the process where the open file can't be examined.
Output open_output(const char* path);

// Takes the opened output for this run: waits for any other run of the tool
// writing it to finish with it (saying so on standard error where it must
// wait), locks it, then empties it.
void claim_output(const Output& out);

// Ends the tool's writing of the output: starts the writeback of all its
// bytes, and returns what its descriptor shows, watched from then on, which
// the checks before a removal compare the path against. Ends the process
// where another writer changed its size meanwhile.
FileIdentity finish_output(const Output& out);

// Brings the output's bytes to stable storage.
void sync_output(const Output& out);

// Brings the directory entries of the outputs at first and second (either
// may be null: a pipe or device has none to sync) to stable storage, syncing
// a folder they share once.
void sync_folders(const char* first, const char* second);

void close_input(const Input& in);
void close_output(const Output& out);
