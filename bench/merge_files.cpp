// merge_files FIRST SECOND OUTPUT: the module's merge, for the benchmark.
#include "kiv_parse_bin.h"

int main(int argc, char* argv[]) {
  if (argc != 4) return 2;
  merge(MergeFile_info{.file_name = {argv[1], argv[2]}, .file_count = 2, .output_file = argv[3]});
  return 0;
}
