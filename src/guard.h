// What stands between the tool and a lost input. The run holds its input (the
// image, or the merge's current file) from the first look until it is
// removed, and each output from its claim until the run lets go of it: each
// with what was recorded of it and a watch for what other programs do to it.
// Each failing check prints one line on standard error and ends the process
// with status 1.
#pragma once

#include <cstdint>
#include <string>

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

// Ends the process where the input at path could not be removed once copied
// (its folder's permissions or flags, its own flags, a read-only mount), so
// that nothing is written for a run that could only fail at its end.
void refuse_unremovable(const char* path, const char* verb);

// Makes the file at path, which id records, the run's input: opens it, checks
// it is the file recorded and starts watching it, until its removal. Where no
// watch can be set, says so (once a run) and, where the file system's clock
// could hide a change, waits it out before the file is read. Does nothing
// where path names nothing (the open that follows says so).
void hold_input(const char* path, const FileIdentity& id);
// What the run recorded of its input.
const FileIdentity& held_input();
// Ends the process unless the opened input is the file held, unchanged.
void check_input(const Input& in);
// Ends the process unless the input's path still names the file held, unchanged.
void check_input_named();

// Ends the process unless copied equals expected: a file read short or long
// changed while it was copied.
void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected);

// Takes the opened output for the run, until let_go_of_outputs: waits for any
// other run of the tool writing it to finish with the whole of its run
// (saying so on standard error where it must wait), locks it, and watches it
// from then on. The caller checks what it must and then empties it.
Output& claim_output(const Output& opened);
void empty_output(Output& out);

// Ends the tool's writing of `length` bytes of from (at from_at) and `fill`
// bytes of 0xFF, which it put at `at` in the output: starts their writeback
// and records what the descriptor shows. Where the watch can't tell another
// program's writes from the tool's own, reads the bytes back and compares.
// Ends the process where the output changed while it was written.
void finish_output(Output& out, const Input& from, std::uint64_t from_at, std::uint64_t at,
                   std::uint64_t length, std::uint64_t fill);

// Removes the input, which the outputs now hold, the one way split and merge
// both remove an input, in the order that keeps one of them whole at every
// instant: each output's bytes, then their folders' entries, on stable
// storage; each output still as written and the input as recorded, with no
// change seen by the watches; the signals that would stop the run held; then
// the input moved to a name of the tool's own beside it, checked there, and
// removed, so a file renamed over its path since is put back, not removed.
// Where the removal fails, ends the process with "kiv_parse_bin: <action>
// <path>: <reason>". Returns with those signals still held (see
// sys::hold_signals): a split finishes and says so, a merge lets them act.
void retire_input(const char* action);

// Ends the watches on the outputs and closes them, which ends their locks.
void let_go_of_outputs();

// The name a stopped run left the input at path under, or "" where there is none.
std::string left_aside(const char* path);

// Ends the process with "kiv_parse_bin: cannot open <path>: <reason from
// errno>" and, where the input is missing because a stopped run left it under
// a name of the tool's own, that name and what to do.
[[noreturn]] void fail_cannot_open(const char* path);
