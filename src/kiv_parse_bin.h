// Splitting an image at the header size it records about itself, and joining
// files end to end. Every operation reports its own failure and ends the
// process with status 1; none returns a status.
#pragma once

#include <cstdint>

// One split: the paths are borrowed from the command line, never copied or freed.
struct SplitFile_info {
  const char* input_file;     // the image; read, then deleted
  const char* output_file1;   // the header file to write
  const char* output_file2;   // the body file to write
  std::int32_t header_size;   // the image's little-endian word at header_addr
  std::uint32_t header_addr;  // offset of that word, 0..65535
};

// Fills info from argv[1..4] (offset, image, header file, body file), reads the
// header size and prints the size line. Ends the run when the image is not a
// regular file, can't be examined, or the word can't be read.
void InitSplitFile_info(SplitFile_info& info, const char* const argv[]);

// Returns the 4 bytes at offset in the file at path as a little-endian value.
// Ends the run when the file could not be opened for update or ends before offset + 4.
std::int32_t Get_4Byte_FromSize(const char* path, std::uint32_t offset);

// Writes the image's first header_size bytes to output_file1, padded with 0xFF
// where the image is shorter, and starts its writeback: the body step syncs
// it, so the disk writes it while the body is copied. Refuses outputs that
// would overwrite the image or each other, or that are also the console's
// file, before writing anything.
void create_header_file(SplitFile_info& info);

// Writes the image from byte header_size on to output_file2, syncs the header,
// then the body, and deletes the image only when both outputs hold all of it
// and it has not changed since the run began. A failed deletion ends the
// process with status 1.
void remove_header_info_from_file(SplitFile_info& info);

// Files to join end to end; the strings are borrowed.
struct MergeFile_info {
  const char* file_name[2];  // joined in this order
  std::uint32_t file_count;  // how many of them to join, from the first; at most 2
  const char* output_file;   // created or overwritten
};

// Creates output_file and appends to it each of the first file_count files in
// turn, deleting each once all its bytes are on stable storage in the output
// (a file that changed while it was copied is kept, and ends the process).
// No command reaches it; a program that calls it calls sys::set_up_console() first:
//   merge({.file_name = {"part0.bin", "part1.bin"}, .file_count = 2, .output_file = "all.bin"});
// prints "merge file0_name:part0.bin", then "merge file1_name:part1.bin" (each
// with "\r\n"). Refuses, before the output is created, a file_count above 2, a
// listed file that is not a regular file, an output that is a listed file (or
// would be, once created) or the console's file, and a path it can't examine.
// On the first failure prints one line ("fopen NAME failed\r\n" on standard
// output, "Couldn't create the output file \"NAME\"\n" or a "kiv_parse_bin: ..."
// line on standard error) and ends the process with status 1, keeping the file
// that failed and every later one. Naming one file twice joins it once,
// deletes it, then fails to open it.
void merge(const MergeFile_info& info);
