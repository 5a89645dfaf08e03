// The one routine that moves bytes between files, for every copy the tool
// makes. It keeps every offset itself: no descriptor's own offset is read or
// moved.
#pragma once

#include <cstdint>

#include "core.h"

// Copies from `from`, starting at offset at, to the end of `to` until limit
// bytes have been copied or `from` ends; copied gets the count, by which
// to.size has grown. Holes of `from` stay holes where `to` is a regular file.
kiv::Result copy_data(Run& run, const Input& from, std::uint64_t at, Output& to,
                      std::uint64_t limit, std::uint64_t& copied);

// Writes count copies of byte to the end of `to`.
kiv::Result write_fill(Run& run, Output& to, unsigned char byte, std::uint64_t count);
