// kiv::split and kiv::merge: each reads as the order that keeps the inputs
// safe. Record, refuse, write privately, sync, put in place, check, move
// aside, remove.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "copy.h"
#include "core.h"
#include "platform.h"
#include "split.h"

kiv::Result split_record(Run& run, const std::string& image, std::uint64_t offset,
                         std::int32_t& header_size) {
  Input& in = run.inputs.emplace_back();
  if (kiv::Result r = record_input(run, in, image)) return r;
  if (kiv::Result r = read_word(in, offset, header_size)) return r;
  char line[40];
  std::snprintf(line, sizeof line, "Header File Size:0x%.04x\r\n",
                static_cast<unsigned>(header_size));
  return say(run, kiv::Stream::out, line);
}

kiv::Result split_prepare_body(Run& run, const std::string& body, std::int32_t header_size) {
  const auto size = static_cast<std::uint64_t>(header_size), held = run.inputs[0].recorded.size;
  return prepare_output(run, run.outputs[1], body, held - std::min(size, held));
}

kiv::Result split_prepare(Run& run, const std::string& header, const std::string& body,
                          std::int32_t header_size, bool body_later) {
  // A size no allocator could satisfy fails where a whole-header buffer would.
  if (header_size < 0) {
    return failed(kiv::Failure::negative_size, 0, run.inputs[0].path,
                  "%s holds a negative header size", run.inputs[0].path.c_str());
  }
  run.outputs.resize(2);
  if (kiv::Result r =
          prepare_output(run, run.outputs[0], header, static_cast<std::uint64_t>(header_size)))
    return r;
  kiv::Result r = split_prepare_body(run, body, header_size);
  if (!body_later || r.reason != kiv::Failure::cannot_create) return r;
  sys::close_file(run.outputs[1].folder);  // looked at again in the body step
  run.outputs[1] = Output{};
  return {};
}

kiv::Result split_header(Run& run, std::int32_t header_size) {
  Input& image = run.inputs[0];
  Output& header = run.outputs[0];
  const auto size = static_cast<std::uint64_t>(header_size);
  run.total = std::max(size, image.recorded.size);
  std::uint64_t copied = 0;
  if (kiv::Result r = open_output(run, header)) return r;
  // The padding's space too, before a byte is written: a wrong offset can ask for gigabytes.
  if (size > image.recorded.size && header.before.kind == Kind::file &&
      sys::reserve_space(-1, 0, header.fd, image.recorded.size, size - image.recorded.size) != 0)
    return failed(kiv::Failure::io, "cannot write", header.path, errno);
  if (kiv::Result r = copy_data(run, image, 0, header, size, copied)) return r;
  if (copied != std::min(size, image.recorded.size))
    return changed(image.path, "while it was copied");
  // What reading past the end yields.
  if (kiv::Result r = write_fill(run, header, 0xFF, size - copied)) return r;
  return put_in_place(run, header);
}

kiv::Result split_body(Run& run, std::int32_t header_size) {
  Input& image = run.inputs[0];
  Output& body = run.outputs[1];
  const auto size = static_cast<std::uint64_t>(header_size);
  // One byte more than the image held tells that it grew, and bounds the copy of a device.
  const std::uint64_t expected = image.recorded.size - std::min(size, image.recorded.size);
  std::uint64_t copied = 0;
  if (kiv::Result r = open_output(run, body)) return r;
  if (kiv::Result r = copy_data(run, image, size, body, expected + 1, copied)) return r;
  if (copied != expected) return changed(image.path, "while it was copied");
  if (kiv::Result r = put_in_place(run, body)) return r;
  return remove_inputs(run, "split complete, but cannot remove");
}

kiv::Result kiv::split(std::uint64_t offset, const std::filesystem::path& image,
                       const std::filesystem::path& header, const std::filesystem::path& body,
                       const Callbacks& callbacks) {
  Run run;
  run.callbacks = callbacks;
  kiv::Result r = guarded([&] {
    std::int32_t size = 0;
    if (Result r = split_record(run, image.string(), offset, size)) return r;
    if (Result r = say(run, Stream::out, "begin create header file\r\n")) return r;
    if (Result r = split_prepare(run, header.string(), body.string(), size)) return r;
    if (Result r = split_header(run, size)) return r;
    return split_body(run, size);
  });
  discard(run);
  return r;
}

kiv::Result kiv::merge(const std::vector<std::filesystem::path>& inputs,
                       const std::filesystem::path& output, const Callbacks& callbacks) {
  Run run;
  run.verb = "merge";
  run.callbacks = callbacks;
  kiv::Result r = guarded([&] {
    // Every input is looked at before the output: one that can't be had fails
    // the run before anything is written. A file named twice ends the list.
    std::size_t joined = 0;
    for (; joined < inputs.size(); ++joined) {
      Input in;
      Result r = record_input(run, in, inputs[joined].string());
      run.inputs.push_back(in);
      if (r) return r;
      close_input(run.inputs.back());  // opened again at its turn: any number may be joined
      const auto twice = [&](const Input& other) { return same_input(other, in); };
      if (std::any_of(run.inputs.begin(), run.inputs.end() - 1, twice)) {
        sys::close_file(run.inputs.back().folder);
        run.inputs.pop_back();
        break;
      }
      run.total += in.recorded.size;
    }
    Output& out = run.outputs.emplace_back();
    if (Result r = prepare_output(run, out, output.string(), run.total)) return r;
    if (Result r = open_output(run, out)) return r;
    for (std::size_t i = 0; i < joined; ++i) {
      Input& in = run.inputs[i];
      char line[48];
      std::snprintf(line, sizeof line, "merge file%zu_name:", i);
      if (Result r = say(run, Stream::out, line + in.path + "\r\n")) return r;
      if (Result r = reopen_input(in, false)) return r;
      std::uint64_t copied = 0;
      if (Result r = copy_data(run, in, 0, out, in.recorded.size + 1, copied)) return r;
      if (copied != in.recorded.size) return changed(in.path, "while it was copied");
      close_input(in);
    }
    if (Result r = put_in_place(run, out)) return r;
    if (Result r = remove_inputs(run, "merged, but cannot remove")) return r;
    if (joined == inputs.size()) return Result{};
    return failed(Failure::cannot_open, ENOENT, inputs[joined].string(),
                  "cannot open %s: it was joined and removed already",
                  inputs[joined].string().c_str());
  });
  discard(run);
  return r;
}
