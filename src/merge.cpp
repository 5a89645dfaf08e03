// Joining files end to end. Each joined file goes only once the output holds
// all of it on stable storage, by the same retirement as the split's image;
// every listed file is checked before the output is emptied, so a run that
// can't finish, or a second run of a finished one, loses nothing it joined.
#include "console.h"
#include "copy.h"
#include "files.h"
#include "guard.h"
#include "identity.h"
#include "kiv_parse_bin.h"
#include "platform.h"
#include "progress.h"

namespace {

constexpr std::uint32_t named = 2;  // the names the request carries

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

// Looks at every listed file before anything of the output is lost: each must
// be there, a regular file, readable and removable. A missing one ends the run
// with its fixed line, once every listed file a stopped run left aside is named.
void check_listed(const MergeFile_info& info, const char* const file_list[],
                  FileIdentity listed[]) {
  const char* missing = nullptr;
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    listed[i] = examine(file_list[i]);
    if (listed[i].error == 0) continue;
    const std::string left = left_aside(file_list[i]);
    if (!left.empty()) {
      warn("a stopped run left %s as %s: rename it back to merge it", file_list[i], left.c_str());
    }
    if (missing == nullptr) missing = file_list[i];
  }
  if (missing != nullptr) stop_input_unopened(missing);
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    refuse_unless_file(file_list[i], listed[i], "merge");
    const Input in{.fd = sys::open_input(file_list[i]), .path = file_list[i]};
    if (in.fd < 0) stop_input_unopened(file_list[i]);
    close_input(in);
    refuse_unremovable(file_list[i], "merge");
  }
}

}  // namespace

void merge(const MergeFile_info& info) {
  ready_console();
  const char* file_list[6] = {info.file_name[0], info.file_name[1]};
  if (info.file_count > named) {
    fail("cannot merge %u files: only %u are named", static_cast<unsigned>(info.file_count),
         static_cast<unsigned>(named));
  }
  FileIdentity listed[named];
  check_listed(info, file_list, listed);
  refuse_overlaps(info, file_list, listed, examine(info.output_file));
  const Output opened = open_output(info.output_file);
  if (opened.fd < 0) stop_output_uncreated(info.output_file);
  refuse_overlaps(info, file_list, listed, opened.opened);
  Output& out = claim_output(opened);
  check_listed(info, file_list, listed);  // a run this one waited for may have merged them
  empty_output(out);

  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < info.file_count; ++i) total += listed[i].size;
  progress_start(total);
  for (std::uint32_t i = 0; i < info.file_count; ++i) {
    // Looked at again at its turn: the files before it took time to copy, and
    // what this one is checked against before its removal is what is copied now.
    const FileIdentity before = examine(file_list[i]);
    refuse_unless_file(file_list[i], before, "merge");
    hold_input(file_list[i], before);
    Input in{.fd = sys::open_input(file_list[i]), .path = file_list[i]};
    if (in.fd < 0) stop_input_unopened(file_list[i]);
    check_input(in);
    say_merging(i, file_list[i]);
    const std::uint64_t at = out.size;
    check_copied(in.path, copy_data(in, 0, out, held_input().size + 1), held_input().size);
    finish_output(out, in, 0, at, held_input().size, 0);
    close_input(in);
    retire_input("merged, but cannot remove");
    sys::release_signals();  // joined and removed: a signal held meanwhile may stop the rest
  }
  let_go_of_outputs();
  progress_clear();
}
