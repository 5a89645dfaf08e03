// merge_runner FIRST SECOND COUNT OUTPUT: calls merge, so the tests can watch
// a process that merge may end. Built with the fault table (KIV_FAULTS).
#include <csignal>
#include <cstdlib>

#include "kiv_parse_bin.h"

int main(int argc, char* argv[]) {
  if (argc != 5) return 2;
#if defined(SIGPIPE)
  // As the command does: a console whose reader left is a failed line, not the end of the program.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  merge(MergeFile_info{.file_name = {argv[1], argv[2]},
                       .file_count = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                       .output_file = argv[4]});
  return 0;
}
