// The split. At every instant either the image is whole or both outputs are
// complete on stable storage, because the steps come in this order:
//   1. the image is looked at, refused unless it is a regular file the tool
//      could remove, and watched from then on (InitSplitFile_info);
//   2. each output is opened without emptying it, checked to be neither the
//      image, nor the other output, nor the console's file, claimed (locked
//      against other runs and watched) until the image is gone, the image
//      checked again, and only then emptied;
//   3. the header is copied and what its descriptor then shows recorded
//      (create_header_file); the body likewise (remove_header_info_from_file);
//   4. retire_input: both outputs' bytes, then their folders' entries, are
//      synced; both must still be as recorded and the image as the run found
//      it; then the image is moved to a name of the tool's own, checked there,
//      and removed.
#include "kiv_parse_bin.h"

#include <algorithm>

#include "console.h"
#include "copy.h"
#include "files.h"
#include "guard.h"
#include "identity.h"
#include "platform.h"
#include "progress.h"

namespace {

// The header, held by the run from its claim until the image goes.
const Output* header_held = nullptr;

// Ends the run where an output would overwrite the image or the other output,
// or is also the console's file. Called with what the paths name before
// anything is opened, and again with each output's descriptor once opened, so
// a name swapped in between can't make the tool empty the image.
void refuse_overlaps(const SplitFile_info& info, const FileIdentity& header,
                     const FileIdentity& body) {
  const char* over_image = same_file(header, held_input()) ? info.output_file1
                           : same_file(body, held_input()) ? info.output_file2
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
  ready_console();
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
  ready_console();
  info.header_addr = parse_header_addr(argv[1]);
  info.input_file = argv[2];
  info.output_file1 = argv[3];
  info.output_file2 = argv[4];
  const FileIdentity image = examine(info.input_file);
  refuse_unless_file(info.input_file, image, "split");
  // Console lines appended to the image would change it under the split.
  refuse_console_file(info.input_file, image, "split");
  if (image.error == 0) refuse_unremovable(info.input_file, "split");
  hold_input(info.input_file, image);
  info.header_size = Get_4Byte_FromSize(info.input_file, info.header_addr);
  say_header_size(info.header_size);
}

void create_header_file(SplitFile_info& info) {
  ready_console();
  // The header streams through a fixed buffer, but a size no allocator could
  // satisfy still fails where a whole-header buffer would.
  if (info.header_size < 0) stop_no_memory();
  const FileIdentity body = examine(info.output_file2);
  refuse_overlaps(info, examine(info.output_file1), body);
  Input image{.fd = sys::open_image(info.input_file), .path = info.input_file};
  if (image.fd < 0) stop_image_unopened(info.input_file);
  check_input(image);
  const Output opened = open_output(info.output_file1);
  if (opened.fd < 0) stop_header_unopened(info.output_file1);
  refuse_overlaps(info, opened.opened, body);
  Output& header = claim_output(opened);
  check_input_named();  // a run this one waited for may have split it meanwhile
  empty_output(header);
  header_held = &header;

  auto size = static_cast<std::uint64_t>(info.header_size);
  progress_start(std::max(size, held_input().size));
  std::uint64_t copied = copy_data(image, 0, header, size);
  check_copied(info.input_file, copied, std::min(size, held_input().size));
  write_fill(header, 0xFF, size - copied);                    // what reading past the end yields
  finish_output(header, image, 0, 0, copied, size - copied);  // synced once the body is copied
  close_input(image);
}

void remove_header_info_from_file(SplitFile_info& info) {
  ready_console();
  // The body is created only once the image is open, so a run that finds the
  // image gone (another run split it) leaves that run's body alone.
  Input image{.fd = sys::open_image(info.input_file), .path = info.input_file};
  if (image.fd < 0) stop_body_unopened();  // the fixed line: either open
  check_input(image);
  const Output opened = open_output(info.output_file2);
  if (opened.fd < 0) stop_body_unopened();
  refuse_overlaps(info, header_held != nullptr ? header_held->opened : examine(info.output_file1),
                  opened.opened);
  Output& body = claim_output(opened);
  check_input_named();
  empty_output(body);

  auto header_size = static_cast<std::uint64_t>(info.header_size);
  // One byte more than the image held tells that it grew, and bounds the copy of a device.
  std::uint64_t expected = held_input().size - std::min(header_size, held_input().size);
  check_copied(info.input_file, copy_data(image, header_size, body, expected + 1), expected);
  finish_output(body, image, header_size, 0, expected, 0);
  close_input(image);
  retire_input("split complete, but cannot remove");
  let_go_of_outputs();
  header_held = nullptr;
  progress_clear();
}
