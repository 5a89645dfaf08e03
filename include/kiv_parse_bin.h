// kiv_parse_bin: splitting an image at the header size it records about
// itself, and joining files end to end.
//
// kiv::split and kiv::merge do a whole job and return what went wrong: they
// print nothing unless asked, end nothing, change no process-wide state, and
// may run on several threads on different files. The five operations after
// them are the command's: they print its lines and exit with status 1.
//
// A regular-file output is written where no other program can name it,
// synced, and renamed over its name with the old file's permission bits (and
// owner, where the process may): under its name it is the old file or the
// whole new one; other hard links keep the old file. FIFOs, devices and a file
// whose name no rename may replace (in a folder that takes no new file,
// another user's in a sticky folder, a mount point) are written where they
// are. An input is removed last, only while it and every output are as recorded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kiv {

// Why a split or merge stopped; each input is kept but after not_removed.
enum class Failure : std::uint8_t {
  none,
  cannot_open,    // an input is missing or can't be read (the image: opened for update)
  cannot_create,  // an output can't be created or opened for writing
  refused,        // refused before anything was written
  short_image,    // the image ends before its header-size word
  negative_size,  // the header-size word is negative
  io,             // a read, write or sync failed
  changed,        // an input, or an output this run put in place, changed under the run
  not_removed,    // every output complete, but the input could not be removed
  console,        // Callbacks::line returned an error
  stopped,        // Callbacks::removing returned false
  no_memory,
};

// What a call did: true (as std::error_code is) where it failed.
struct Result {
  Failure reason = Failure::none;
  std::error_code error;       // the system's reason, where there is one
  std::filesystem::path file;  // the file it concerns
  std::string message;         // one line, as the command prints it after "kiv_parse_bin: "
  explicit operator bool() const noexcept { return reason != Failure::none; }
};

enum class Stream : std::uint8_t { out, err };

// What a caller may hear of a run; each may be left empty.
struct Callbacks {
  // Each line the command prints, with its ending ("Header File Size:0x0200\r\n");
  // an error returned stops the run (Failure::console).
  std::function<std::error_code(Stream, std::string_view)> line;
  // Bytes done of the total; `syncing` while it waits for the disk.
  std::function<void(std::uint64_t done, std::uint64_t total, bool syncing)> progress;
  // Right before the first input is removed; false keeps them (Failure::stopped).
  std::function<bool()> removing;
};

// Splits image at the little-endian 32-bit word found at byte offset: the
// first that many bytes to header, the rest to body (header padded with 0xFF
// where the image is shorter); then removes image. Holes stay holes.
Result split(std::uint64_t offset, const std::filesystem::path& image,
             const std::filesystem::path& header, const std::filesystem::path& body,
             const Callbacks& callbacks = {});

// Joins inputs end to end into output, then removes them. At a file named a
// second time the run stops, as at a missing one, once those before it are
// joined and removed. Example:
//   if (kiv::Result r = kiv::merge({"part0", "part1", "part2"}, "all")) report(r.message);
Result merge(const std::vector<std::filesystem::path>& inputs, const std::filesystem::path& output,
             const Callbacks& callbacks = {});

}  // namespace kiv

// The command's operations. Each does its whole job or prints one line (the
// fixed lines below, or "kiv_parse_bin: <what>" on standard error) and exits
// with status 1, keeping every input.

// One split. The paths are borrowed: they must live until the split is done.
struct SplitFile_info {
  const char* input_file;     // the image; read, then deleted
  const char* output_file1;   // the header file to write
  const char* output_file2;   // the body file to write
  std::int32_t header_size;   // the image's little-endian word at header_addr
  std::uint32_t header_addr;  // offset of that word, 0..65535
};

// A split runs InitSplitFile_info, create_header_file and
// remove_header_info_from_file in this order, each once, on the record as the
// first filled it; another order, or a changed record, is refused.

// Fills info from argv[1..4] (the offset as decimal text, read as C's atoi
// does, its low 16 bits kept; the image; the header; the body). Refuses an
// image that is not a regular file, is also standard output or error, or
// could not be removed; prints "Header File Size:0x%.04x\r\n".
void InitSplitFile_info(SplitFile_info& info, const char* const argv[]);

// The 4 bytes at offset in the file at path, little-endian. Exits
// ("kiv_parse_bin: cannot open ...", "... ends before its header size word
// ...") where it can't be opened for update or ends before offset + 4.
std::int32_t Get_4Byte_FromSize(const char* path, std::uint32_t offset);

// Writes the image's first header_size bytes to output_file1, padded with
// 0xFF where the image is shorter, and puts it in place. Prints "malloc
// fail\r\n" for a negative header_size; "I couldn't open the file
// \"<image>\"\r\n" or "... \"<header>\"\n" on standard error where either
// can't be opened. Refuses, before writing, outputs that would overwrite the
// image, each other or the console's file, or could only fail at the end.
void create_header_file(SplitFile_info& info);

// Writes the image from byte header_size on to output_file2 and puts it in
// place ("Open the file failure...\r\n" where the image or the body can't be
// opened), then deletes the image where it and both outputs are as recorded
// ("kiv_parse_bin: ... changed ..." otherwise; "split complete, but cannot
// remove ..." where the deletion fails).
void remove_header_info_from_file(SplitFile_info& info);

// Files to join end to end. The strings are borrowed.
struct MergeFile_info {
  const char* file_name[2];  // joined in this order
  std::uint32_t file_count;  // how many of them to join, from the first; at most 2
  const char* output_file;   // created or overwritten
};

// kiv::merge of the first file_count (at most 2) files, with the command's
// lines: "merge file%d_name:%s\r\n" before each; "fopen <name> failed\r\n"
// where one is missing or unreadable (after naming any a stopped run left
// aside); "Couldn't create the output file \"<name>\"\n" on standard error
// where the output can't be created. Example:
//   merge({.file_name = {"part0.bin", "part1.bin"}, .file_count = 2, .output_file = "all.bin"});
void merge(const MergeFile_info& info);
