// The checks that stand between the tool and a lost input: what each name or
// descriptor reaches, and whether a file changed since the tool saw it. Each
// failing check prints one line on standard error and ends the process with
// status 1.
#pragma once

#include <cstdint>

#include "file_identity.h"
#include "files.h"

// Returns what path names. Nothing there yet is no failure; a path that can't
// be examined for any other reason ends the process ("cannot examine").
FileIdentity examine(const char* path);
// Returns what the open fd is; ends the process naming path where it can't tell.
FileIdentity examine_open(int fd, const char* path);

// True when a and b are one file now or, where neither exists yet, would be
// one file once created.
bool same_file(const FileIdentity& a, const FileIdentity& b);

// Ends the process where path's file is also standard output or standard
// error and keeps or passes on what is written to it (a file, a pipe): the
// console's lines would land among its bytes. verb says what the tool was to
// do with it ("write", "split").
void refuse_console_file(const char* path, const FileIdentity& id, const char* verb);

// Ends the process unless the opened file is the one `before` describes, unchanged.
void check_opened(const Input& in, const FileIdentity& before);

// Ends the process unless copied equals expected: a file read short or long
// changed while it was copied.
void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected);

// Ends the process unless path still names the input `before` describes,
// with the same size and times.
void check_unchanged(const char* path, const FileIdentity& before);

// Ends the process unless path still names the output `synced` describes, as
// it was when synced (for pipes and devices: the same one).
void check_output(const char* path, const FileIdentity& synced);

// Removes path, which must still name the input `before` describes: the file
// is first moved to a name of the tool's own and checked there, so a file
// renamed over path since the last check is put back, not removed. Where the
// removal fails, ends the process with "kiv_parse_bin: <action> <path>: <reason>".
void remove_copied(const char* path, const FileIdentity& before, const char* action);
