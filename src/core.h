// The core under kiv::split, kiv::merge and the command's operations: plain
// records, and the steps of a run as free functions that return what went
// wrong (a kiv::Result naming the reason and the file) and print nothing.
// A run goes: record each input, refuse what could only fail, write each
// output privately, sync it and put it in place, check that everything is as
// recorded, then move each input aside, check it there and remove it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_identity.h"
#include "kiv_parse_bin.h"

// A file the run reads, then removes.
struct Input {
  std::string path;
  std::string name;  // its last component, in folder
  int folder = -1;
  int fd = -1;
  FileIdentity recorded;  // as opened, once no change could hide in the clock's tick
};

// A file the run writes.
struct Output {
  std::string path;  // as given
  std::string name;  // the last component of path, its links followed, in folder
  int folder = -1;
  FileIdentity folder_id;
  FileIdentity before;    // what target was (error ENOENT: nothing yet)
  bool in_place = false;  // written where it is: not a regular file, or its folder takes none
  int fd = -1;
  std::string temp;        // the private file's hidden name, while it has one
  std::uint64_t size = 0;  // bytes written
  FileIdentity published;  // what the name reached once the run put it there
};

struct Run {
  const char* verb = "split";  // or "merge": what refusals say the run was to do
  kiv::Callbacks callbacks;
  std::vector<Input> inputs;
  std::vector<Output> outputs;
  std::unique_ptr<unsigned char[]> block;  // the copy's buffer
  std::uint64_t done = 0, total = 0;       // progress
  // Told each private file's hidden name as it is made, and nullptr once it is gone.
  void (*private_name)(int folder, const char* name) = nullptr;
};

// A failure: its reason, errno (0 for none), file, and printf-style line.
kiv::Result failed(kiv::Failure reason, int error, const std::string& file, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// "<action> <file>: <reason>" for errno error.
kiv::Result failed(kiv::Failure reason, const char* action, const std::string& file, int error);
// "<path> changed <when>".
kiv::Result changed(const std::string& path, const char* when);
// Passes a line to the run's callback; a failure there stops the run.
kiv::Result say(const Run& run, kiv::Stream stream, const std::string& line);

// Records the file at path as an input: refused unless it is a regular file,
// not the console's, that the run could remove; opened (a split's image only
// where it could be for update); recorded once the tick of its times is over.
// A leftover of a stopped run is named.
kiv::Result record_input(const Run& run, Input& in, const std::string& path);
// Opens a recorded input again; it must be the file recorded, unchanged.
kiv::Result reopen_input(Input& in, bool image);
void close_input(Input& in);
// True where two recorded inputs are one file, also one a file system that
// ignores case gives an inode number per spelling of its name.
bool same_input(const Input& a, const Input& b);
// Reads the little-endian 32-bit word at offset of the open input.
kiv::Result read_word(const Input& in, std::uint64_t offset, std::int32_t& word);

// Looks at the output at path before anything is written: refused where it
// is an input, another output or the console's file, or where `size` bytes
// could not be written (a folder that can't be opened to sync, the size limit).
kiv::Result prepare_output(const Run& run, Output& out, const std::string& path,
                           std::uint64_t size);
// Opens the output privately (or in place), empty.
kiv::Result open_output(Run& run, Output& out);
// Ends an output: its old file's permissions, its data on stable storage, the
// tick of its last write over, then renamed into place, durably; recorded.
kiv::Result put_in_place(Run& run, Output& out);

// Checks every input and output against its record; then, once the caller's
// `removing` agreed, moves each input to a name of the tool's own, checks it
// and the outputs again, and removes it; anything amiss puts it back.
// `action` begins the line for a removal that fails.
kiv::Result remove_inputs(Run& run, const char* action);
// Closes what the run holds; removes any private file not put in place.
void discard(Run& run);

// The name a stopped run left the input at path under, or "" where there is none.
std::string left_aside(const std::string& path);
