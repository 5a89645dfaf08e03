// Running the built programs in a scratch directory and looking at what they left.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct Outcome {
  int status;       // exit status, or 128 + signal
  std::string out;  // standard output (both streams when run with one_stream)
  std::string err;
};

// Starts one row of a table: false where KIV_TEST_ROW names another, so that
// `KIV_TEST_ROW='body on a full disk' ctest -R Split.FailuresKeepTheImage`
// runs that row alone; true otherwise. Rows are named as their traces are.
bool run_row(const std::string& name);
// A table row's name as GoogleTest names a parameterised test's case:
// letters and digits, each run of anything else one underscore.
std::string row_name(const std::string& name);

#define TABLE_ROW(name)         \
  if (!run_row(name)) continue; \
  SCOPED_TRACE(name)

// Runs the program at exe with args from dir, catching what it prints. With
// one_stream, standard output and error share one file, as with `2>&1`.
Outcome run_program(const std::string& exe, const std::vector<std::string>& args,
                    const fs::path& dir, bool one_stream = false);
// Runs the built tool.
Outcome run_tool(const std::vector<std::string>& args, const fs::path& dir,
                 bool one_stream = false);

// Console text as it reaches a file: where the C runtime writes each line feed
// as carriage return and line feed (Windows), expands text's line feeds so.
std::string console(std::string text);

// The device that swallows writes ("/dev/null", "NUL"), and one that fails them
// with a full disk, where there is one (empty elsewhere).
extern const char* const null_device;
extern const char* const full_device;

// A fresh directory, removed with its contents when the value goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  fs::path path;
};

// Makes a symbolic link where the platform can; false where it can't.
bool make_symlink(const fs::path& target, const fs::path& link);
// Makes a named pipe where the platform has them; false where it hasn't.
bool make_fifo(const fs::path& path);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);

// size bytes of a repeating, position-dependent pattern, with the
// little-endian word placed at offset.
std::string make_image(std::size_t size, std::uint32_t offset, std::uint32_t word);
