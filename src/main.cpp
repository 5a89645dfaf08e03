// kiv_parse_bin OFFSET IMAGE HEADER BODY: splits IMAGE at the header size it
// records at OFFSET into HEADER and BODY, then deletes IMAGE.
#include "console.h"
#include "kiv_parse_bin.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  sys::fill_closed_streams();
  sys::set_up_console();
  if (argc != 5) stop(stdout, "[ERROR] input parameter num error, argc = %d\r\n", argc);
  print("cannot write standard output",
        "input header addr is %s,input file:%s,output file1:%s output file2:%s\r\n", argv[1],
        argv[2], argv[3], argv[4]);
  SplitFile_info info{};
  InitSplitFile_info(info, argv);
  print("cannot write standard output", "begin create header file\r\n");
  create_header_file(info);
  // From the image's removal on, a stop signal waits for the run to finish.
  remove_header_info_from_file(info, sys::hold_stop_signals);
  print("split complete, but standard output failed", "End create header file\r\n");
  return 0;
}
