// One entry of the disk logger's log: a write, whose length bytes follow it,
// or a flush of the disk's volatile cache.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct LogRecord {
  char kind;             // 'W' a write, 'F' a flush
  std::uint64_t offset;  // where the write starts on the disk
  std::uint32_t length;  // how many bytes it wrote
};
#pragma pack(pop)
