// kiv_parse_bin OFFSET IMAGE HEADER BODY: splits IMAGE at the header size it
// records at OFFSET into HEADER and BODY, then deletes IMAGE.
#include "console.h"
#include "kiv_parse_bin.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  sys::fill_closed_streams();
  sys::set_up_console();
  if (argc != 5) stop_argument_count(argc);
  say_arguments(argv);
  SplitFile_info info{};
  InitSplitFile_info(info, argv);
  say_begin();
  create_header_file(info);
  // From the image's removal on, a stop signal waits for the run to finish.
  remove_header_info_from_file(info, sys::hold_stop_signals);
  say_end();
  return 0;
}
