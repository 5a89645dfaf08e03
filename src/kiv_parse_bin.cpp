#include "kiv_parse_bin.h"

#include <algorithm>
#include <cstdio>

#include "copy.h"
#include "fail.h"
#include "guard.h"
#include "progress.h"

namespace {

// Refuses outputs that would overwrite the image, or each other, before they
// are opened. Paths are compared by the file they name (or, not yet there,
// would name), so ./a.img, hard links and symbolic links are caught; devices
// such as /dev/null may be named twice.
void refuse_overlaps(const SplitFile_info& info) {
  FileIdentity image = examine(info.input_file);
  FileIdentity header = examine(info.output_file1);
  FileIdentity body = examine(info.output_file2);
  const char* over_image = same_file(header, image) ? info.output_file1
                           : same_file(body, image) ? info.output_file2
                                                    : nullptr;
  if (over_image != nullptr) {
    fail(stderr, "kiv_parse_bin: refusing to overwrite the image %s with %s\n", info.input_file,
         over_image);
  }
  if (same_file(header, body) && !header.stream) {
    fail(stderr, "kiv_parse_bin: refusing to write header and body to one file: %s and %s\n",
         info.output_file1, info.output_file2);
  }
}

// Converts decimal text as the C library's atoi reads it (leading blanks, a
// sign, digits up to the first other character; 0 without digits) and returns
// the low 16 bits of the number as written, however many digits it has.
std::uint32_t parse_header_addr(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Reducing at every digit keeps the sum small and equals the full number modulo 65536.
  std::uint32_t low = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    low = (low * 10 + static_cast<std::uint32_t>(*p - '0')) & 0xFFFF;
  return negative ? (0x10000 - low) & 0xFFFF : low;
}

}  // namespace

std::int32_t Get_4Byte_FromSize(const char* path, std::uint32_t offset) {
  int fd = open_image(path);
  if (fd < 0) fail_errno("cannot open", path);
  unsigned char word[4];
  std::int64_t n = read_at(fd, word, sizeof word, offset);
  if (n < 0) fail_errno("cannot read", path);
  if (close_file(fd) < 0) fail_errno("cannot close", path);
  if (n < 4) {
    fail(stderr, "kiv_parse_bin: %s ends before its header size word at offset %u\n", path,
         static_cast<unsigned>(offset));
  }
  return static_cast<std::int32_t>(std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8 |
                                   std::uint32_t{word[2]} << 16 | std::uint32_t{word[3]} << 24);
}

void InitSplitFile_info(SplitFile_info& info, const char* const argv[]) {
  info.header_addr = parse_header_addr(argv[1]);
  info.input_file = argv[2];
  info.output_file1 = argv[3];
  info.output_file2 = argv[4];
  info.image = examine(info.input_file);
  info.header_size = Get_4Byte_FromSize(info.input_file, info.header_addr);
  std::printf("Header File Size:0x%.04x\r\n", static_cast<unsigned>(info.header_size));
}

void create_header_file(const SplitFile_info& info) {
  // The header streams through a fixed buffer, but a size no allocator could
  // satisfy still fails where a whole-header buffer would.
  if (info.header_size < 0) fail_line("malloc fail\r");
  refuse_overlaps(info);
  Stream image{open_image(info.input_file), info.input_file};
  if (image.fd < 0) fail(stderr, "I couldn't open the file \"%s\"\r\n", info.input_file);
  Stream header{create_output(info.output_file1), info.output_file1};
  if (header.fd < 0) fail(stderr, "I couldn't open the file \"%s\"\n", info.output_file1);

  auto size = static_cast<std::uint64_t>(info.header_size);
  progress_start(size + info.image.size - std::min(size, info.image.size));
  std::uint64_t copied = copy_data(image, header, size);
  check_copied(info.input_file, copied, std::min(size, info.image.size));
  write_fill(header, 0xFF, size - copied);  // what reading past the end yields
  close_stream(image);
  sync_output(header);
  close_stream(header);
}

void remove_header_info_from_file(const SplitFile_info& info) {
  refuse_overlaps(info);  // again: h.bin and ./h.bin are one file only now that the header exists
  // The body is created only once the image is open, so a run that finds the
  // image gone (another run split it) leaves that run's body alone.
  Stream image{open_image(info.input_file), info.input_file};
  if (image.fd < 0) fail_line("Open the file failure...\r");
  Stream body{create_output(info.output_file2), info.output_file2};
  if (body.fd < 0) fail_line("Open the file failure...\r");

  auto header_size = static_cast<std::uint64_t>(info.header_size);
  if (seek_to(image.fd, header_size) < 0) fail_errno("cannot seek in", info.input_file);
  // One byte more than the image held tells that it grew, and bounds the copy of a device.
  std::uint64_t expected = info.image.size - std::min(header_size, info.image.size);
  std::uint64_t copied = copy_data(image, body, expected + 1);
  check_copied(info.input_file, copied, expected);
  close_stream(image);
  sync_output(body);
  close_stream(body);
  sync_names(info.output_file1, info.output_file2);

  // The image goes only while both outputs hold all of it, as it was when the run began.
  check_output(info.output_file1, header_size);
  check_output(info.output_file2, copied);
  check_unchanged(info.input_file, info.image);
  if (remove_file(info.input_file) < 0) {
    fail_errno("split complete, but cannot remove", info.input_file);
  }
  progress_clear();
}
