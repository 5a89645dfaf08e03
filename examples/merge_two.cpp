// merge_two FIRST SECOND OUTPUT: joins two files into OUTPUT with the
// kiv_parse_bin module, deleting each once the output holds it. On a failure
// the module prints one line and ends the process with status 1.
#include <kiv_parse_bin.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: merge_two FIRST SECOND OUTPUT\n");
    return 2;
  }
  merge({.file_name = {argv[1], argv[2]}, .file_count = 2, .output_file = argv[3]});
  return 0;
}
