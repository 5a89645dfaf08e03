// The command's five operations over the core: they print the command's
// lines and exit with status 1 where the core reports a failure. The split's
// three steps share one run, kept here for each record between its steps (the
// record holds nothing but its five fields).
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <span>

#include "console.h"
#include "core.h"
#include "platform.h"
#include "split.h"

namespace {

struct Split {
  SplitFile_info seen;  // the record as the last step left it
  int steps = 0;        // of the three, done
  Run run;
  Progress progress;
};

std::mutex splits_lock;
std::map<const SplitFile_info*, Split> splits;  // NOLINT(cert-err58-cpp): the steps' runs

void forget(const SplitFile_info& info) {
  std::lock_guard<std::mutex> hold(splits_lock);
  if (const auto found = splits.find(&info); found != splits.end()) {
    discard(found->second.run);
    splits.erase(found);
  }
}

// Runs the split's step after its first `steps`, which must have run in order
// on the record as it is. On a failure: the fixed line stop_on may print, or
// the core's, and status 1.
template <class Step, class Stop>
void run_step(SplitFile_info& info, int steps, const char* name, Step step, Stop stop_on) {
  sys::fill_closed_streams();
  Split* split = nullptr;
  {
    std::lock_guard<std::mutex> hold(splits_lock);
    const auto found = splits.find(&info);
    const char* path = info.input_file != nullptr ? info.input_file : "(none)";
    if (found == splits.end() || found->second.steps != steps)
      fail("refusing to %s for %s: the split's steps come in order, each once", name, path);
    if (std::memcmp(&found->second.seen, &info, sizeof info) != 0)
      fail("refusing to %s for %s: its record changed since the step before", name, path);
    split = &found->second;
  }
  const kiv::Result r = guarded([&] { return step(split->run); });
  clear(split->progress);
  if (r) {
    discard(split->run);  // a private file left would be the user's to find
    stop_on(r);
    fail_with(r);
  }
  close_input(split->run.inputs[0]);  // each step opens it again, and finds it as recorded
  split->seen = info;
  split->steps = steps + 1;
}

// Converts decimal text as the C library's atoi reads it (leading blanks, a
// sign, digits up to the first other character; 0 without digits) and returns
// the low 16 bits of the number as written, however many digits it has.
std::uint32_t parse_header_addr(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Reducing at every digit keeps the sum small and equals the full number modulo 65536.
  std::uint32_t low = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    low = (low * 10 + static_cast<std::uint32_t>(*p - '0')) & 0xFFFF;
  return negative ? (0x10000 - low) & 0xFFFF : low;
}

}  // namespace

std::int32_t Get_4Byte_FromSize(const char* path, std::uint32_t offset) {
  sys::fill_closed_streams();
  Run run;
  std::int32_t word = 0;
  const kiv::Result r = guarded([&] { return split_record(run, path, offset, word); });
  discard(run);
  if (r) fail_with(r);
  return word;
}

void InitSplitFile_info(SplitFile_info& info, const char* const argv[]) {
  info.header_addr = parse_header_addr(argv[1]);
  info.input_file = argv[2];
  info.output_file1 = argv[3];
  info.output_file2 = argv[4];
  forget(info);
  {
    std::lock_guard<std::mutex> hold(splits_lock);
    Split& split = splits[&info];
    split.seen = info;
    split.run.callbacks = console_callbacks(split.progress);
    split.run.private_name = sys::remove_on_stop;
  }
  run_step(
      info, 0, "read the header size",
      [&](Run& run) {
        return split_record(run, info.input_file, info.header_addr, info.header_size);
      },
      [](const kiv::Result&) {});
}

void create_header_file(SplitFile_info& info) {
  run_step(
      info, 1, "create the header",
      [&](Run& run) {
        if (info.header_size < 0) stop(stdout, "malloc fail\r\n");
        if (kiv::Result r = reopen_input(run.inputs[0], true)) return r;
        // A body that can't be created is the body step's to say.
        if (kiv::Result r =
                split_prepare(run, info.output_file1, info.output_file2, info.header_size, true))
          return r;
        return split_header(run, info.header_size);
      },
      [&](const kiv::Result& r) {
        if (r.reason == kiv::Failure::cannot_open)
          stop(stderr, "I couldn't open the file \"%s\"\r\n", info.input_file);
        if (r.reason == kiv::Failure::cannot_create)
          stop(stderr, "I couldn't open the file \"%s\"\n", info.output_file1);
      });
}

void remove_header_info_from_file(SplitFile_info& info, bool (*removing)()) {
  run_step(
      info, 2, "write the body",
      [&](Run& run) {
        if (removing != nullptr) run.callbacks.removing = removing;
        if (kiv::Result r = reopen_input(run.inputs[0], true)) return r;
        if (run.outputs[1].folder < 0) {
          if (kiv::Result r = split_prepare_body(run, info.output_file2, info.header_size))
            return r;
        }
        return split_body(run, info.header_size);
      },
      [&](const kiv::Result& r) {
        // The fixed line says neither which open failed nor why.
        if (r.reason == kiv::Failure::cannot_open || r.reason == kiv::Failure::cannot_create)
          stop(stdout, "Open the file failure...\r\n");
        if (r.reason == kiv::Failure::stopped)
          fail("stopped by a signal: %s is kept", info.input_file);
      });
  forget(info);
}

void remove_header_info_from_file(SplitFile_info& info) {
  remove_header_info_from_file(info, nullptr);
}

void merge(const MergeFile_info& info) {
  sys::fill_closed_streams();
  constexpr std::uint32_t named = 2;
  if (info.file_count > named) {
    fail("cannot merge %u files: only %u are named", static_cast<unsigned>(info.file_count),
         static_cast<unsigned>(named));
  }
  const std::vector<std::filesystem::path> inputs(info.file_name, info.file_name + info.file_count);
  Progress progress;
  const kiv::Result r = kiv::merge(inputs, info.output_file, console_callbacks(progress));
  clear(progress);
  if (r.reason == kiv::Failure::cannot_open) {
    // Every listed file a stopped run left aside is named, then the first missing one.
    bool recorded = true;  // the core named a second name of each file it recorded
    for (const char* name : std::span(info.file_name, info.file_count)) {
      recorded = recorded && r.file != name;
      std::error_code unseen;
      const std::string left = left_aside(name);
      if (left.empty()) continue;
      if (!std::filesystem::exists(name, unseen)) {
        warn("a stopped run left %s as %s: rename it back to merge it", name, left.c_str());
      } else if (!recorded && std::filesystem::equivalent(name, left, unseen)) {
        warn("a stopped run left %s also as %s: the same file; remove that name", name,
             left.c_str());
      }
    }
    stop(stdout, "fopen %s failed\r\n", r.file.string().c_str());
  }
  if (r.reason == kiv::Failure::cannot_create)
    stop(stderr, "Couldn't create the output file \"%s\"\n", info.output_file);
  if (r) fail_with(r);
}
