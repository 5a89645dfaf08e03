// The README's table of console lines, read from the README itself: every row
// is run, and the line it names must come out on its stream with its ending.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include "child.h"

namespace {

struct Row {
  std::string line, stream, ending;
};

// The rows of the table under "## Console lines".
std::vector<Row> readme_rows() {
  std::ifstream in(README_FILE);
  std::vector<Row> rows;
  bool inside = false;
  for (std::string text; std::getline(in, text);) {
    if (text.starts_with("## ")) inside = text == "## Console lines";
    if (!inside || !text.starts_with("| `")) continue;
    // | `line` | stream | `ending` | when |
    std::smatch m;
    if (!std::regex_match(text, m, std::regex(R"(\| `(.*)` \| (\w+) \| `([^`]*)` \|.*)"))) continue;
    std::string ending = m[3];
    ending = std::regex_replace(ending, std::regex(R"(\\r)"), "\r");
    ending = std::regex_replace(ending, std::regex(R"(\\n)"), "\n");
    rows.push_back({m[1], m[2], ending});
  }
  return rows;
}

// The row's line as a pattern: its capitalised words (IMAGE, N, REASON...) and
// "..." stand for any text on the line; the rest is as printed.
std::regex pattern_of(const Row& row) {
  static const std::vector<std::string> placeholders{"OFFSET", "IMAGE", "HEADER", "BODY", "WHY",
                                                     "REASON", "HEX",   "FILE",   "NAME", "N"};
  std::string pattern = "(^|\n)";
  const std::string& line = row.line;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t j = i;
    while (j < line.size() && std::isupper(static_cast<unsigned char>(line[j])) != 0) ++j;
    const std::string word = line.substr(i, j - i);
    if (j > i && std::find(placeholders.begin(), placeholders.end(), word) != placeholders.end()) {
      pattern += "[^\r\n]+";
      i = j;
    } else if (line.compare(i, 3, "...") == 0 && i + 3 == line.size()) {
      pattern += "[^\r\n]+";
      i += 3;
    } else {
      const char c = line[i++];
      if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
      pattern += c;
    }
  }
  return std::regex(pattern + (row.ending == "\n" ? "\n" : "\r\n"));
}

// A run that prints one row's line, in a fresh folder.
using Case = std::function<Outcome(const fs::path& dir)>;

Outcome split(const fs::path& dir, const std::string& header, const std::string& body,
              std::uint32_t word = 0x200, const char* faults = nullptr) {
  write_file(dir / "a.img", make_image(768, 16, word));
  return run_child(
      [&] {
        if (faults == nullptr) exec_tool({"16", "a.img", header, body});
        exec_faulted(faults, {"16", "a.img", header, body});
      },
      dir);
}

Outcome merged(const fs::path& dir, const char* first, const char* output) {
  write_file(dir / "one", "1");
  write_file(dir / "two", "2");
  return run_program(MERGE_RUNNER_EXE, {first, "two", "2", output}, dir);
}

const std::map<std::string, Case>& cases() {
  static const std::map<std::string, Case> all{
      {"[ERROR] input parameter num error, argc = N",
       [](const fs::path& d) {
         return run_tool({"16", "a.img"}, d);
       }},
      {"input header addr is OFFSET,input file:IMAGE,output file1:HEADER output file2:BODY",
       [](const fs::path& d) { return split(d, "h.bin", "b.bin"); }},
      {"kiv_parse_bin: refusing to split IMAGE: not a regular file",
       [](const fs::path& d) {
         fs::create_directory(d / "a.img");
         return run_tool({"16", "a.img", "h.bin", "b.bin"}, d);
       }},
      // The first access check is the image's folder's (see the fault table).
      {"kiv_parse_bin: refusing to split IMAGE: WHY, so it could not be removed",
       [](const fs::path& d) { return split(d, "h.bin", "b.bin", 0x200, "faccessat#1:EACCES"); }},
      {"kiv_parse_bin: cannot open IMAGE: REASON",
       [](const fs::path& d) {
         return run_tool({"16", "a.img", "h.bin", "b.bin"}, d);
       }},
      {"kiv_parse_bin: IMAGE ends before its header size word at offset N",
       [](const fs::path& d) {
         write_file(d / "a.img", "short");
         return run_tool({"16", "a.img", "h.bin", "b.bin"}, d);
       }},
      {"Header File Size:0xHEX", [](const fs::path& d) { return split(d, "h.bin", "b.bin"); }},
      {"begin create header file", [](const fs::path& d) { return split(d, "h.bin", "b.bin"); }},
      {"malloc fail", [](const fs::path& d) { return split(d, "h.bin", "b.bin", 0xFFFFFFFF); }},
      // The third access check is the header step's open of the image.
      {"I couldn't open the file \"IMAGE\"",
       [](const fs::path& d) { return split(d, "h.bin", "b.bin", 0x200, "faccessat#3:EACCES"); }},
      {"I couldn't open the file \"HEADER\"",
       [](const fs::path& d) { return split(d, "no/h.bin", "b.bin"); }},
      {"Open the file failure...", [](const fs::path& d) { return split(d, "h.bin", "no/b.bin"); }},
      {"kiv_parse_bin: cannot write FILE: REASON",
       [](const fs::path& d) { return split(d, "h.bin", "/dev/full"); }},
      {"kiv_parse_bin: IMAGE changed while it was copied",
       [](const fs::path& d) {
         write_file(d / "a.img", make_image(4 << 20, 16, 1 << 20));
         mkfifo((d / "pipe").c_str(), 0600);
         int pipe = open((d / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         pid_t pid = start_child([] { exec_tool({"16", "a.img", "h.bin", "pipe"}); }, d);
         pollfd ready{pipe, POLLIN, 0};
         poll(&ready, 1, 10000);  // the body's copy has begun, and stalls
         std::fstream(d / "a.img", std::ios::in | std::ios::out) << "changed";
         char sink[1 << 16];
         while (poll(&ready, 1, 10000) == 1 && read(pipe, sink, sizeof sink) != 0) {
         }
         close(pipe);
         return wait_child(pid, d);
       }},
      {"kiv_parse_bin: split complete, but cannot remove IMAGE: REASON",
       [](const fs::path& d) { return split(d, "h.bin", "b.bin", 0x200, "unlinkat#1:EIO"); }},
      {"End create header file", [](const fs::path& d) { return split(d, "h.bin", "b.bin"); }},
      // The reader of standard output leaves while the tool stops at its move aside.
      {"kiv_parse_bin: split complete, but standard output failed: REASON",
       [](const fs::path& d) {
         write_file(d / "a.img", make_image(768, 16, 0x200));
         int console[2];
         if (pipe(console) != 0) return Outcome{-1, "", ""};
         pid_t pid = start_child(
             [&] {
               dup2(console[1], 1);
               close(console[0]);
               exec_faulted("renameat2#1:stop,linkat#1:stop", {"16", "a.img", "h.bin", "b.bin"});
             },
             d);
         close(console[1]);
         if (stops(pid)) close(console[0]);
         kill(pid, SIGCONT);
         return wait_child(pid, d);
       }},
      {"merge fileN_name:NAME", [](const fs::path& d) { return merged(d, "one", "out"); }},
      {"fopen NAME failed", [](const fs::path& d) { return merged(d, "gone", "out"); }},
      {"Couldn't create the output file \"NAME\"",
       [](const fs::path& d) { return merged(d, "one", "no/out"); }},
      {"kiv_parse_bin: ...", [](const fs::path& d) { return split(d, "a.img", "b.bin"); }},
  };
  return all;
}

TEST(Readme, EveryConsoleLineIsPrintedAsTheTableSays) {
  const std::vector<Row> rows = readme_rows();
  ASSERT_FALSE(rows.empty()) << "no table under \"## Console lines\" in " << README_FILE;
  std::set<std::string> listed;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    listed.insert(row.line);
    const auto found = cases().find(row.line);
    if (found == cases().end()) {
      ADD_FAILURE() << "no case here prints this row";
      continue;
    }
    ASSERT_TRUE(row.stream == "stdout" || row.stream == "stderr") << row.stream;
    ScratchDir dir;
    const Outcome run = found->second(dir.path);
    const std::string& stream = row.stream == "stdout" ? run.out : run.err;
    EXPECT_TRUE(std::regex_search(stream, pattern_of(row)))
        << "not printed so on " << row.stream << ":\n"
        << stream;
  }
  for (const auto& [line, run] : cases()) {
    EXPECT_EQ(listed.count(line), 1u) << "the README's table lacks " << line;
  }
}

}  // namespace
