// The split. At every instant either the image is whole or both outputs are
// complete on stable storage, because the steps come in this order:
//   1. each output is opened without emptying it, checked to be neither the
//      image, nor the other output, nor the console's file, and only then emptied;
//   2. the header is copied, what its descriptor then shows recorded, and it
//      is closed before the body is opened;
//   3. the body is copied and recorded likewise; the header, opened again and
//      checked to be the file recorded, is synced (its writeback ran while the
//      body was copied), then the body;
//   4. the folders that got both names are synced (retire_input, from here on);
//   5. both output paths must still name exactly what was recorded, and the
//      image path the image as the run found it, with no change seen by the
//      watches set on the image at the first look and on each output once written;
//   6. the image is moved to a name of the tool's own, checked there, and removed.
#include "kiv_parse_bin.h"

#include <algorithm>
#include <cstdio>

#include "copy.h"
#include "fail.h"
#include "files.h"
#include "guard.h"
#include "identity.h"
#include "platform.h"
#include "progress.h"

namespace {

// Ends the run where an output would overwrite the image or the other output,
// or is also the console's file. Called with what the paths name before
// anything is opened, and again with each output's descriptor once opened, so
// a name swapped in between can't make the tool empty the image.
void refuse_overlaps(const SplitFile_info& info, const FileIdentity& header,
                     const FileIdentity& body) {
  const char* over_image = same_file(header, info.image) ? info.output_file1
                           : same_file(body, info.image) ? info.output_file2
                                                         : nullptr;
  if (over_image != nullptr) {
    fail("refusing to overwrite the image %s with %s", info.input_file, over_image);
  }
  // Pipes and devices such as /dev/null take both in turn.
  if (same_file(header, body) && !keeps_nothing(header)) {
    fail("refusing to write header and body to one file: %s and %s", info.output_file1,
         info.output_file2);
  }
  refuse_console_file(info.output_file1, header, "write");
  refuse_console_file(info.output_file2, body, "write");
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
  int fd = sys::open_image(path);
  if (fd < 0) fail_cannot_open(path);
  unsigned char word[4];
  std::size_t got = 0;
  for (std::int64_t n = 1; got < sizeof word && n > 0; got += static_cast<std::size_t>(n)) {
    n = sys::read_at(fd, word + got, sizeof word - got, offset + got);
    if (n < 0) fail_errno("cannot read", path);
  }
  if (sys::close_file(fd) < 0) fail_errno("cannot close", path);
  if (got < sizeof word) {
    fail("%s ends before its header size word at offset %u", path, static_cast<unsigned>(offset));
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
  refuse_unless_file(info.input_file, info.image, "split");
  // Console lines appended to the image would change it under the split.
  refuse_console_file(info.input_file, info.image, "split");
  watch_input(info.input_file, info.image);
  info.header_size = Get_4Byte_FromSize(info.input_file, info.header_addr);
  note_printed(
      std::printf("Header File Size:0x%.04x\r\n", static_cast<unsigned>(info.header_size)));
}

void create_header_file(SplitFile_info& info) {
  // The header streams through a fixed buffer, but a size no allocator could
  // satisfy still fails where a whole-header buffer would.
  if (info.header_size < 0) fail_line("malloc fail\r");
  const FileIdentity body = examine(info.output_file2);
  refuse_overlaps(info, examine(info.output_file1), body);
  // The console's fixed failure lines, as scripts match them (one ends in "\n" alone).
  Input image{.fd = sys::open_image(info.input_file), .path = info.input_file};
  if (image.fd < 0) fail_fixed(stderr, "I couldn't open the file \"%s\"\r\n", info.input_file);
  check_opened(image, info.image);
  Output header = open_output(info.output_file1);
  if (header.fd < 0) fail_fixed(stderr, "I couldn't open the file \"%s\"\n", info.output_file1);
  refuse_overlaps(info, header.opened, body);
  claim_output(header);

  auto size = static_cast<std::uint64_t>(info.header_size);
  progress_start(std::max(size, info.image.size));
  std::uint64_t copied = copy_data(image, 0, header, size);
  check_copied(info.input_file, copied, std::min(size, info.image.size));
  write_fill(header, 0xFF, size - copied);  // what reading past the end yields
  close_input(image);
  info.header = finish_output(header);  // synced once the body is copied
  close_output(header);
}

void remove_header_info_from_file(SplitFile_info& info) {
  // The body is created only once the image is open, so a run that finds the
  // image gone (another run split it) leaves that run's body alone.
  Input image{.fd = sys::open_image(info.input_file), .path = info.input_file};
  if (image.fd < 0) fail_line("Open the file failure...\r");  // the fixed line: either open
  check_opened(image, info.image);
  Output body = open_output(info.output_file2);
  if (body.fd < 0) fail_line("Open the file failure...\r");
  refuse_overlaps(info, info.header, body.opened);
  claim_output(body);

  auto header_size = static_cast<std::uint64_t>(info.header_size);
  // One byte more than the image held tells that it grew, and bounds the copy of a device.
  std::uint64_t expected = info.image.size - std::min(header_size, info.image.size);
  check_copied(info.input_file, copy_data(image, header_size, body, expected + 1), expected);
  close_input(image);
  info.body = finish_output(body);
  sync_closed({info.output_file1, info.header});
  sync_output(body);
  close_output(body);
  retire_input(info.input_file, info.image,
               {{info.output_file1, info.header}, {info.output_file2, info.body}},
               "split complete, but cannot remove");
  progress_clear();
}
