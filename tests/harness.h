// Running the built tool in a scratch directory and looking at what it left.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct Outcome {
  int status;       // exit status, or 128 + signal
  std::string out;  // standard output (both streams when run with one_stream)
  std::string err;
};

// Runs body in a child process working in dir, with its standard output and
// error caught; the child exits 0 when body returns. With one_stream, both
// streams share one file, as in `2>&1`.
Outcome run_child(const std::function<void()>& body, const fs::path& dir, bool one_stream = false);

// Runs the built tool with args from dir.
Outcome run_tool(const std::vector<std::string>& args, const fs::path& dir, bool one_stream = false);

// A fresh directory, removed with its contents when the value goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  fs::path path;
};

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);

// size bytes of a repeating, position-dependent pattern, with the
// little-endian word placed at offset.
std::string make_image(std::size_t size, std::uint32_t offset, std::uint32_t word);
