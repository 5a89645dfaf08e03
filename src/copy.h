// The one routine that moves bytes between files, for every copy the tool
// makes. The routine keeps every offset itself: no descriptor's own offset is
// read or moved.
#pragma once

#include <cstdint>

#include "files.h"

// Copies from `from`, starting at offset at, to the end of `to` until limit
// bytes have been copied or `from` ends; returns the count copied, by which
// to.size has grown. Ends the process naming the file on a read or write error.
std::uint64_t copy_data(const Input& from, std::uint64_t at, Output& to, std::uint64_t limit);

// Writes count copies of byte to the end of `to`; ends the process naming the file on error.
void write_fill(Output& to, unsigned char byte, std::uint64_t count);
