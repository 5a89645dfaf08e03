// Running the built tool in a scratch directory and looking at what it left.
#pragma once

#include <sys/types.h>

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

// Starts body in a child process working in dir, with its standard output
// and error caught in files there (one file, as with `2>&1`, for one_stream);
// the child exits 0 when body returns.
pid_t start_child(const std::function<void()>& body, const fs::path& dir, bool one_stream = false);
// Waits for a child of start_child and collects what it printed.
Outcome wait_child(pid_t pid, const fs::path& dir, bool one_stream = false);
Outcome run_child(const std::function<void()>& body, const fs::path& dir, bool one_stream = false);

// Replaces the process with the built tool, given args.
[[noreturn]] void exec_tool(const std::vector<std::string>& args);
// Runs the built tool with args from dir.
Outcome run_tool(const std::vector<std::string>& args, const fs::path& dir,
                 bool one_stream = false);

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
