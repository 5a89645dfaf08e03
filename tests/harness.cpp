#include "harness.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

bool run_row(const std::string& name) {
  const char* only = std::getenv("KIV_TEST_ROW");  // NOLINT(concurrency-mt-unsafe): one thread
  return only == nullptr || name == only;
}

std::string row_name(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      out += c;
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

Outcome run_tool(const std::vector<std::string>& args, const fs::path& dir, bool one_stream) {
  return run_program(KIV_PARSE_BIN_EXE, args, dir, one_stream);
}

ScratchDir::ScratchDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = fs::temp_directory_path() / ("kiv_parse_bin." + std::to_string(random()));
    if (fs::create_directory(path)) return;
  }
  throw std::runtime_error("no scratch directory could be made");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
}

bool make_symlink(const fs::path& target, const fs::path& link) {
  std::error_code error;
  fs::create_symlink(target, link, error);
  return !error;
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
