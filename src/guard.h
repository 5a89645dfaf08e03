// The checks that stand between the tool and a lost input: what each path
// names, and whether a file changed while the tool copied it. Each failing
// check prints one line on standard error and ends the process with status 1.
#pragma once

#include <cstdint>

#include "platform.h"

// Returns what path names. Nothing there yet is no failure; a path that can't
// be examined for any other reason ends the process ("cannot examine").
FileIdentity examine(const char* path);

// True when a and b name one file now or, where neither exists yet, would name
// one file once created.
bool same_file(const FileIdentity& a, const FileIdentity& b);

// Ends the process unless copied equals expected: a file read short or long
// changed while it was copied.
void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected);

// Ends the process unless path still names the file `before` describes, with
// the same size and time of last write.
void check_unchanged(const char* path, const FileIdentity& before);

// Ends the process unless the output at path still holds size bytes (outputs
// that hold no storage, such as /dev/null, pass).
void check_output(const char* path, std::uint64_t size);
