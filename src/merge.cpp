#include <cstdio>

#include "copy.h"
#include "fail.h"
#include "guard.h"
#include "kiv_parse_bin.h"
#include "progress.h"

void merge(const MergeFile_info& info) {
  const char* file_list[6] = {info.file_name[0], info.file_name[1]};
  constexpr std::uint32_t named = 2;
  if (info.file_count > named) {
    fail(stderr, "kiv_parse_bin: cannot merge %u files: only %u are named\n",
         static_cast<unsigned>(info.file_count), static_cast<unsigned>(named));
  }
  // Truncating an output that is one of the inputs would lose that input.
  FileIdentity output = examine(info.output_file);
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    FileIdentity file = examine(file_list[i]);
    total += file.size;
    if (same_file(file, output)) {
      fail(stderr, "kiv_parse_bin: refusing to merge %s into itself as %s\n", file_list[i],
           info.output_file);
    }
  }

  Stream out{create_output(info.output_file), info.output_file};
  if (out.fd < 0) fail(stderr, "Couldn't create the output file \"%s\"\n", info.output_file);
  progress_start(total);
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    FileIdentity before = examine(file_list[i]);
    Stream in{open_input(file_list[i]), file_list[i]};
    if (in.fd < 0) fail(stdout, "fopen %s failed\r\n", file_list[i]);
    progress_clear();
    std::printf("merge file%d_name:%s\r\n", static_cast<int>(i), file_list[i]);
    check_copied(file_list[i], copy_data(in, out, before.size + 1), before.size);
    close_stream(in);
    sync_output(out);
    if (i == 0) sync_names(info.output_file, nullptr);
    check_unchanged(file_list[i], before);
    if (remove_file(file_list[i]) < 0) fail_errno("merged, but cannot remove", file_list[i]);
  }
  progress_clear();
  close_stream(out);
}
