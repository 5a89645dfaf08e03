// merge_runner FIRST SECOND COUNT OUTPUT: calls merge, so the tests can watch
// a process that merge may end.
#include <cstdlib>

#include "kiv_parse_bin.h"

int main(int argc, char* argv[]) {
  if (argc != 5) return 2;
  merge(MergeFile_info{
      {argv[1], argv[2]}, static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[4]});
  return 0;
}
