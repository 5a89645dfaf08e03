#include "harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

pid_t start_child(const std::function<void()>& body, const fs::path& dir, bool one_stream) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  std::fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = one_stream ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.c_str()) < 0) _exit(127);
    body();
    std::exit(0);
  }
  return pid;
}

Outcome wait_child(pid_t pid, const fs::path& dir, bool one_stream) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out),
              one_stream ? std::string{} : read_file(err)};
  fs::remove(out);
  fs::remove(err);
  return run;
}

Outcome run_child(const std::function<void()>& body, const fs::path& dir, bool one_stream) {
  return wait_child(start_child(body, dir, one_stream), dir, one_stream);
}

void exec_tool(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(KIV_PARSE_BIN_EXE)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

Outcome run_tool(const std::vector<std::string>& args, const fs::path& dir, bool one_stream) {
  return run_child([&] { exec_tool(args); }, dir, one_stream);
}

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "kiv_parse_bin.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string make_image(std::size_t size, std::uint32_t offset, std::uint32_t word) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  for (std::size_t k = 0; k < 4 && offset + k < size; ++k) {
    bytes[offset + k] = static_cast<char>((word >> (8 * k)) & 0xFF);
  }
  return bytes;
}
