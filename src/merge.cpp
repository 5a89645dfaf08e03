// Joining files end to end. Each joined file goes only once the output holds
// all of it on stable storage, by the same retirement as the split's image.
#include <cstdio>

#include "copy.h"
#include "fail.h"
#include "files.h"
#include "guard.h"
#include "identity.h"
#include "kiv_parse_bin.h"
#include "platform.h"
#include "progress.h"

namespace {

// Ends the run where the output is one of the listed files (which emptying
// it would lose) or is also the console's file.
void refuse_overlaps(const MergeFile_info& info, const char* const file_list[],
                     const FileIdentity listed[], const FileIdentity& output) {
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    if (same_file(listed[i], output)) {
      fail("refusing to merge %s into itself as %s", file_list[i], info.output_file);
    }
  }
  refuse_console_file(info.output_file, output, "write");
}

}  // namespace

void merge(const MergeFile_info& info) {
  const char* file_list[6] = {info.file_name[0], info.file_name[1]};
  constexpr std::uint32_t named = 2;
  if (info.file_count > named) {
    fail("cannot merge %u files: only %u are named", static_cast<unsigned>(info.file_count),
         static_cast<unsigned>(named));
  }
  FileIdentity listed[named];
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    listed[i] = examine(file_list[i]);
    refuse_unless_file(file_list[i], listed[i], "merge");
    total += listed[i].size;
  }
  refuse_overlaps(info, file_list, listed, examine(info.output_file));

  Output out = open_output(info.output_file);
  // The console's fixed failure lines, as scripts match them.
  if (out.fd < 0) fail_fixed(stderr, "Couldn't create the output file \"%s\"\n", info.output_file);
  refuse_overlaps(info, file_list, listed, out.opened);
  claim_output(out);
  progress_start(total);
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    // Looked at again at its turn: the files before it took time to copy, and
    // what this one is checked against before its removal is what is copied now.
    FileIdentity before = examine(file_list[i]);
    refuse_unless_file(file_list[i], before, "merge");
    watch_input(file_list[i], before);
    Input in{.fd = sys::open_input(file_list[i]), .path = file_list[i]};
    if (in.fd < 0) fail_fixed(stdout, "fopen %s failed\r\n", file_list[i]);
    check_opened(in, before);
    progress_clear();
    note_printed(std::printf("merge file%d_name:%s\r\n", static_cast<int>(i), file_list[i]));
    check_copied(in.path, copy_data(in, 0, out, before.size + 1), before.size);
    close_input(in);
    const FileIdentity written = finish_output(out);
    sync_output(out);
    retire_input(in.path, before, {{info.output_file, written}}, "merged, but cannot remove");
  }
  progress_clear();
  close_output(out);
  check_console("merged");
}
