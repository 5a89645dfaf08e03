// kiv_parse_bin OFFSET IMAGE HEADER BODY: splits IMAGE at the header size it
// records at OFFSET into HEADER and BODY, then deletes IMAGE.
#include "console.h"
#include "kiv_parse_bin.h"

int main(int argc, char* argv[]) {
  ready_console();
  if (argc != 5) stop_argument_count(argc);
  say_arguments(argv);
  SplitFile_info info{};
  InitSplitFile_info(info, argv);
  say_begin();
  create_header_file(info);
  remove_header_info_from_file(info);
  say_end();
  return 0;
}
