// The checks that stand between the tool and a lost input: what each name or
// descriptor reaches, whether a file changed since the tool saw it, and the
// one way an input is removed. Each failing check prints one line on standard
// error and ends the process with status 1.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "files.h"
#include "identity.h"

// Ends the process unless the input at path is a regular file (after following
// links): only a file's bytes can be copied whole, and a device, FIFO or folder
// is nothing the tool may delete. verb says what the tool was to do ("split").
void refuse_unless_file(const char* path, const FileIdentity& id, const char* verb);

// Ends the process where path's file is also standard output or standard
// error and keeps or passes on what is written to it (a file, a pipe): the
// console's lines would land among its bytes. verb says what the tool was to
// do with it ("write", "split").
void refuse_console_file(const char* path, const FileIdentity& id, const char* verb);

// Starts watching the input `id` records, from now until its removal: opens
// it, checks that it is the file recorded and unchanged, and sets id.watch.
// Nothing is done where path names nothing (the open that follows says so).
void watch_input(const char* path, FileIdentity& id);

// Ends the process unless the opened file is the one `before` describes, unchanged.
void check_opened(const Input& in, const FileIdentity& before);

// Ends the process unless copied equals expected: a file read short or long
// changed while it was copied.
void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected);

// An output written in full, as the sync and the retirement of an input check it.
struct Written {
  const char* path;
  const FileIdentity& finished;  // what its descriptor showed once written (finish_output)
};

// Brings the bytes of the output at path, written in full and closed, to
// stable storage through a descriptor opened again for the purpose, once that
// is checked to be the file written, unchanged. Lets the disk write one output
// back while the next is copied.
void sync_closed(const Written& out);

// Removes the input at path, which all of `outputs` now hold, the one way
// split and merge both remove an input, once every output is synced: the
// outputs' folders are synced; each output must be as written and the input
// as `before` records it, with no change seen by their watches; then the input
// is moved to a name of the tool's own beside it, checked there, and removed,
// so a file renamed over path since is put back, not removed. Where the
// removal fails, ends the process with "kiv_parse_bin: <action> <path>:
// <reason>". The watches end with it.
void retire_input(const char* path, const FileIdentity& before,
                  std::initializer_list<Written> outputs, const char* action);

// Ends the process with "kiv_parse_bin: cannot open <path>: <reason from
// errno>" and, where the input is missing because a stopped run left it under
// a name of the tool's own, that name and what to do.
[[noreturn]] void fail_cannot_open(const char* path);
