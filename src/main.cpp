// kiv_parse_bin OFFSET IMAGE HEADER BODY: splits IMAGE at the header size it
// records at OFFSET into HEADER and BODY, then deletes IMAGE.
#include <cstdio>

#include "fail.h"
#include "kiv_parse_bin.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  sys::set_up_console();
  // The console's fixed lines, as scripts match them byte for byte.
  if (argc != 5) fail_fixed(stdout, "[ERROR] input parameter num error, argc = %d\r\n", argc);
  note_printed(
      std::printf("input header addr is %s,input file:%s,output file1:%s output file2:%s\r\n",
                  argv[1], argv[2], argv[3], argv[4]));

  SplitFile_info info{};
  InitSplitFile_info(info, argv);
  note_printed(std::puts("begin create header file\r"));
  create_header_file(info);
  remove_header_info_from_file(info);
  note_printed(std::puts("End create header file\r"));

  // The split is complete, but a script reading the console must learn that its lines were lost.
  check_console("split complete");
  return 0;
}
