// kiv_parse_bin: splitting an image at the header size it records about
// itself, and joining files end to end; the module behind the command
// `kiv_parse_bin OFFSET IMAGE HEADER BODY`.
//
// Every operation here does its whole job or ends the process: on a failure it
// prints one line (the fixed lines below, or "kiv_parse_bin: <what>" on
// standard error) and exits with status 1, keeping every input it has not yet
// removed. None returns a status. Each readies the console itself (a closed
// standard stream is pointed at the null device, SIGPIPE is ignored so a
// reader that leaves is a write error, standard output is line-buffered); a
// caller calls nothing else first. The operations are for one thread, and a
// process runs one split or merge at a time.
//
// A split runs in this order, each step once: InitSplitFile_info,
// create_header_file, remove_header_info_from_file; then the caller prints
// "End create header file\r\n" if it wants the command's lines. Between the
// steps the run holds what it needs to prove that nothing is lost (the image
// watched from its first look, each output locked from its claim until the
// image is removed).
#pragma once

#include <cstdint>

// One split. The paths are borrowed, never copied or freed: they must live
// until the split is done.
struct SplitFile_info {
  const char* input_file;     // the image; read, then deleted
  const char* output_file1;   // the header file to write
  const char* output_file2;   // the body file to write
  std::int32_t header_size;   // the image's little-endian word at header_addr
  std::uint32_t header_addr;  // offset of that word, 0..65535
};

// Fills info from argv[1..4] (the offset as decimal text, the image, the header
// file, the body file): the offset as C's atoi reads it, its low 16 bits kept.
// Refuses an image that is not a regular file, is also standard output or
// error, or could not be removed once copied; starts watching it; reads the
// header size (Get_4Byte_FromSize) and prints "Header File Size:0x%.04x\r\n".
void InitSplitFile_info(SplitFile_info& info, const char* const argv[]);

// Returns the 4 bytes at offset in the file at path as a little-endian value.
// Ends the process ("kiv_parse_bin: cannot open ...", or "... ends before its
// header size word ...") where the file can't be opened for update or ends
// before offset + 4.
std::int32_t Get_4Byte_FromSize(const char* path, std::uint32_t offset);

// Writes the image's first header_size bytes to output_file1, padded with 0xFF
// where the image is shorter; the image's holes stay holes. Prints "malloc
// fail\r\n" for a negative header_size; "I couldn't open the file
// \"<image>\"\r\n" or "I couldn't open the file \"<header>\"\n" on standard
// error where either can't be opened. Refuses, before writing anything,
// outputs that would overwrite the image or each other or the console's file.
// The header stays open and locked, and is synced by the next step.
void create_header_file(SplitFile_info& info);

// Writes the image from byte header_size on to output_file2 ("Open the file
// failure...\r\n" where the image or the body can't be opened), brings both
// outputs and their folders' entries to stable storage, and deletes the image
// only when both outputs hold all of it and nothing changed any of the three
// since the run saw them ("kiv_parse_bin: ... changed ..." otherwise; "split
// complete, but cannot remove ..." where the deletion fails). Returns with
// SIGINT, SIGTERM and SIGHUP blocked, so that a process that ends now ends
// with the status it chooses; a caller that goes on unblocks them.
void remove_header_info_from_file(SplitFile_info& info);

// Files to join end to end. The strings are borrowed.
struct MergeFile_info {
  const char* file_name[2];  // joined in this order
  std::uint32_t file_count;  // how many of them to join, from the first; at most 2
  const char* output_file;   // created or overwritten
};

// Creates output_file and appends to it each of the first file_count files in
// turn, deleting each once all its bytes, and the output's entry, are on
// stable storage; prints "merge file%d_name:%s\r\n" before each. Every listed
// file is checked (there, a regular file, readable, removable) before the
// output is created or emptied: a missing one ends the process with "fopen
// <name> failed\r\n" and the output untouched (a file a stopped merge left
// aside under a name of the tool's own is named first). "Couldn't create the
// output file \"<name>\"\n" on standard error where the output can't be
// created. Refuses a file_count above 2, an output that is a listed file, and
// a path it can't examine. Naming one file twice joins it once, deletes it,
// then fails to open it. Example:
//   merge({.file_name = {"part0.bin", "part1.bin"}, .file_count = 2, .output_file = "all.bin"});
void merge(const MergeFile_info& info);
