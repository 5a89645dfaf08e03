// Which file a name or descriptor reaches: the functions over the record in
// file_identity.h, which the seam fills.
#pragma once

#include "file_identity.h"

// Returns what path names. Nothing there yet is no failure: the record then
// names the folder that would hold it. A path that can't be examined for any
// other reason ends the process ("cannot examine").
FileIdentity examine(const char* path);
// Returns what the open fd is; ends the process naming path where it can't tell.
FileIdentity examine_open(int fd, const char* path);

// True when a and b are one file now or, where neither exists yet, would be
// one file once created.
bool same_file(const FileIdentity& a, const FileIdentity& b);
