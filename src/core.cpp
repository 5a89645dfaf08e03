#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

using kiv::Failure;

// The start of a name of the tool's own beside NAME: ".NAME.kiv_parse_bin"
// and kind ("-" for an input moved aside, ".new-" for an output being
// written), or where NAME leaves no room, a short hash of NAME; the process
// and an attempt follow.
std::string own_prefix(const std::string& name, const char* kind, bool short_name) {
  if (!short_name) return "." + name + ".kiv_parse_bin" + kind;
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char text[16];
  std::snprintf(text, sizeof text, "%08x-", static_cast<unsigned>(hash));
  return std::string(".kiv_parse_bin") + kind + text;
}

// Makes a name of the tool's own beside `name` by make(candidate), which
// returns a descriptor or 0, or -1 with errno: the next attempt where one is
// taken, the short form where the usual one is too long. `made` gets it.
template <class Make>
int make_own(const std::string& name, const char* kind, std::string& made, Make make) {
  for (const bool short_name : {name.size() > 200, true}) {
    const std::string prefix =
        own_prefix(name, kind, short_name) + std::to_string(sys::process_id()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      made = prefix + std::to_string(attempt);
      const int rc = make(made.c_str());
      if (rc >= 0) return rc;
      if (errno != EEXIST) break;
    }
    if (errno != ENAMETOOLONG) break;
  }
  made.clear();
  return -1;
}

// True for exactly a name an input is moved aside to: the prefix for NAME
// (key), then digits, "-", digits. Nothing else is taken for a leftover.
bool left_by_a_run(const char* entry, const void* key) {
  for (const bool short_name : {false, true}) {
    const std::string prefix = own_prefix(*static_cast<const std::string*>(key), "-", short_name);
    int end = -1;
    if (std::strncmp(entry, prefix.c_str(), prefix.size()) == 0)
      std::sscanf(entry + prefix.size(), "%*[0-9]-%*[0-9]%n", &end);
    if (end > 0 && entry[prefix.size() + static_cast<std::size_t>(end)] == '\0') return true;
  }
  return false;
}

void tell_private_name(const Run& run, const Output& out) {
  if (run.private_name != nullptr)
    run.private_name(out.folder, out.temp.empty() ? nullptr : out.temp.c_str());
}

kiv::Result cannot_open(const std::string& path, int error) {
  // Windows keeps the image from writers by opening it unshared: a writer already there shows so.
  if (error == EBUSY) {
    return failed(Failure::cannot_open, error, path,
                  "cannot open %s: another program has it open for writing", path.c_str());
  }
  return failed(Failure::cannot_open, "cannot open", path, error);
}

kiv::Result cannot_examine(const std::string& path, int error) {
  return failed(Failure::refused, "cannot examine", path, error);
}

// Lines written to the image or an output kept in place would land among its bytes.
kiv::Result refuse_console(const std::string& path, const FileIdentity& id, const char* verb) {
  if (id.kind == Kind::device) return {};  // a terminal, /dev/null: lines and bytes don't mix there
  const char* const names[] = {"standard output", "standard error"};
  for (int fd = 1; fd <= 2; ++fd) {
    if (same_file(sys::identify_open(fd), id)) {
      return failed(Failure::refused, 0, path, "refusing to %s %s: it is also %s", verb,
                    path.c_str(), names[fd - 1]);
    }
  }
  return {};
}

// True where names a and b, in folders a_in and b_in, may reach one entry:
// one folder, and names the same but for ASCII case, as a file system that
// ignores case (FAT, exFAT, Windows', macOS') takes them.
bool spelled_alike(const FileIdentity& a_in, const std::string& a, const FileIdentity& b_in,
                   const std::string& b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
  return same_file(a_in, b_in) && std::equal(a.begin(), a.end(), b.begin(), b.end(),
                                             [&](char x, char y) { return fold(x) == fold(y); });
}

// True where now, at the name a run is to write, is `was`: the same file, or
// one a file system that ignores case gives an inode number per spelling of
// its name (exFAT through FUSE), with the same size and times.
bool reaches(const FileIdentity& now, const FileIdentity& was, bool spelled_alike) {
  return same_file(now, was) ||
         (spelled_alike && now.error == 0 && was.error == 0 && now.device == was.device &&
          now.size == was.size && now.modified == was.modified && now.changed == was.changed);
}

// True where the two outputs are one file, or once created would be.
bool one_file(const Output& a, const Output& b) {
  const bool alike = spelled_alike(a.folder_id, a.name, b.folder_id, b.name);
  if (a.before.error == 0 || b.before.error == 0) return reaches(a.before, b.before, alike);
  return alike;
}

kiv::Result refuse_over_input(const Run& run, const Output& out, const FileIdentity& now) {
  for (const Input& in : run.inputs) {
    const bool alike =
        spelled_alike(sys::identify_open(in.folder), in.name, out.folder_id, out.name);
    if (!reaches(now, in.recorded, alike)) continue;
    return failed(Failure::refused, 0, out.path,
                  std::strcmp(run.verb, "merge") == 0
                      ? "refusing to merge %s into itself as %s"
                      : "refusing to overwrite the image %s with %s",
                  in.path.c_str(), out.path.c_str());
  }
  return {};
}

kiv::Result open_input(Input& in, bool image) {
  close_input(in);
  // The image is one the user may change, though the run only reads it.
  if (image && sys::may_write(in.folder, in.name.c_str()) != 0) return cannot_open(in.path, errno);
  in.fd = sys::open_input(in.folder, in.name.c_str());
  return in.fd < 0 ? cannot_open(in.path, errno) : kiv::Result{};
}

kiv::Result check_outputs(const Run& run) {
  for (const Output& out : run.outputs) {
    if (out.published.inode == 0 && out.published.kind == Kind::file) continue;  // not yet written
    if (!unchanged(sys::identify_at(out.folder, out.name.c_str()), out.published) ||
        (out.in_place && !unchanged(sys::identify_open(out.fd), out.published)))
      return changed(out.path, "after it was written");
  }
  return {};
}

// Moves the input to a name of the tool's own, checks it there and the
// outputs again, then removes it: a file renamed over its name since the
// check is moved back, not removed.
kiv::Result remove_input(const Run& run, const Input& in, const char* action) {
  const char* name = in.name.c_str();
  const auto not_removed = [&](int error) {
    return failed(Failure::not_removed, action, in.path, error);
  };
  if (sys::moving_copies(in.folder)) {
    // As rm removes it: moving a file of an overlay's lower layer aside would
    // first copy it whole into the upper one.
    return sys::remove_at(in.folder, name) == 0 ? kiv::Result{} : not_removed(errno);
  }
  std::string aside;
  if (make_own(in.name, "-", aside, [&](const char* candidate) {
        return sys::rename_new_at(in.folder, name, candidate);
      }) < 0)
    return not_removed(errno);
  // The move sets the time of change: anything else is another program's doing.
  const FileIdentity moved = sys::identify_at(in.folder, aside.c_str());
  kiv::Result r = moved.error == 0 && same_file(moved, in.recorded) &&
                          moved.size == in.recorded.size && moved.modified == in.recorded.modified
                      ? check_outputs(run)
                      : changed(in.path, "while it was copied");
  if (!r) {
    if (sys::remove_at(in.folder, aside.c_str()) == 0) return {};
    r = not_removed(errno);
  }
  if (sys::rename_new_at(in.folder, aside.c_str(), name) != 0) {
    return failed(Failure::changed, errno, in.path, "cannot move %s back: it is kept as %.*s%s",
                  in.path.c_str(), static_cast<int>(in.path.size() - in.name.size()),
                  in.path.c_str(), aside.c_str());
  }
  return r;
}

kiv::Result check_run(const Run& run) {
  for (const Input& in : run.inputs) {
    const bool same = unchanged(sys::identify_at(in.folder, in.name.c_str()), in.recorded) &&
                      (in.fd < 0 || unchanged(sys::identify_open(in.fd), in.recorded));
    if (!same) return changed(in.path, "while it was copied");
  }
  return check_outputs(run);
}

}  // namespace

bool same_input(const Input& a, const Input& b) {
  return reaches(
      a.recorded, b.recorded,
      spelled_alike(sys::identify_open(a.folder), a.name, sys::identify_open(b.folder), b.name));
}

kiv::Result failed(kiv::Failure reason, int error, const std::string& file, const char* format,
                   ...) {
  kiv::Result r{reason, std::error_code(error, std::generic_category()), file, {}};
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  r.message.resize(static_cast<std::size_t>(std::max(n, 0)) + 1);
  std::vsnprintf(r.message.data(), r.message.size(), format, again);
  r.message.pop_back();
  va_end(again);
  va_end(args);
  return r;
}

kiv::Result failed(kiv::Failure reason, const char* action, const std::string& file, int error) {
  return failed(reason, error, file, "%s %s: %s", action, file.c_str(), std::strerror(error));
}

kiv::Result changed(const std::string& path, const char* when) {
  return failed(Failure::changed, 0, path, "%s changed %s", path.c_str(), when);
}

kiv::Result say(const Run& run, kiv::Stream stream, const std::string& line) {
  if (!run.callbacks.line) return {};
  const std::error_code error = run.callbacks.line(stream, line);
  if (!error) return {};
  return failed(Failure::console, error.value(), "", "a line could not be passed on: %s",
                error.message().c_str());
}

kiv::Result record_input(const Run& run, Input& in, const std::string& path) {
  const char* verb = run.verb;
  in.path = path;
  in.name = sys::last_component(path.c_str());
  in.folder = sys::open_folder_of(path.c_str());
  const FileIdentity id =
      in.folder < 0 ? FileIdentity{.error = errno} : sys::identify_at(in.folder, in.name.c_str());
  if (id.error == ENOENT || id.error == ENOTDIR) {
    kiv::Result r = cannot_open(path, id.error);
    if (const std::string left = left_aside(path); !left.empty())
      r.message += " (a stopped run left it as " + left + ": rename it back to " + verb + " it)";
    return r;
  }
  if (id.error != 0) return cannot_examine(path, id.error);
  if (id.kind != Kind::file) {
    return failed(Failure::refused, 0, path, "refusing to %s %s: not a regular file", verb,
                  path.c_str());
  }
  if (kiv::Result r = refuse_console(path, id, verb)) return r;
  if (const char* why = sys::why_unremovable(in.folder, in.name.c_str())) {
    return failed(Failure::refused, 0, path, "refusing to %s %s: %s, so it could not be removed",
                  verb, path.c_str(), why);
  }
  if (kiv::Result r = open_input(in, std::strcmp(verb, "split") == 0)) return r;
  if (!same_file(sys::identify_open(in.fd), id)) return changed(path, "while it was opened");
  // A change within the clock's tick of its times would leave them as they
  // are: the look that counts comes once no such change can.
  sys::wait_out_tick(std::max(id.modified, id.changed));
  in.recorded = sys::identify_open(in.fd);
  // A run stopped inside a move by a second link (no rename that may not
  // replace) left the file under both names.
  const std::string left =
      in.recorded.links > 1 ? sys::find_name(in.folder, left_by_a_run, &in.name) : "";
  if (left.empty() || !same_file(sys::identify_at(in.folder, left.c_str()), in.recorded)) return {};
  return say(run, kiv::Stream::err,
             "kiv_parse_bin: a stopped run left " + path + " also as " +
                 path.substr(0, path.size() - in.name.size()) + left +
                 ": the same file; remove that name\n");
}

kiv::Result reopen_input(Input& in, bool image) {
  if (kiv::Result r = open_input(in, image)) return r;
  return unchanged(sys::identify_open(in.fd), in.recorded)
             ? kiv::Result{}
             : changed(in.path, "while it was copied");
}

void close_input(Input& in) {
  sys::close_file(in.fd);
  in.fd = -1;
}

kiv::Result read_word(const Input& in, std::uint64_t offset, std::int32_t& word) {
  unsigned char bytes[4];
  std::size_t got = 0;
  for (std::int64_t n = 1; got < sizeof bytes && n > 0; got += static_cast<std::size_t>(n)) {
    n = sys::read_at(in.fd, bytes + got, sizeof bytes - got, offset + got);
    if (n < 0) return failed(Failure::io, "cannot read", in.path, errno);
  }
  if (got < sizeof bytes) {
    return failed(Failure::short_image, 0, in.path,
                  "%s ends before its header size word at offset %llu", in.path.c_str(),
                  static_cast<unsigned long long>(offset));
  }
  word = static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                   std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
  return {};
}

kiv::Result prepare_output(const Run& run, Output& out, const std::string& path,
                           std::uint64_t size) {
  out.path = path;
  if (path.empty()) return failed(Failure::cannot_create, "cannot create", path, ENOENT);
  const std::string target = sys::follow_links(path.c_str());  // what is written
  if (target.empty()) return cannot_examine(path, errno);
  out.name = sys::last_component(target.c_str());
  out.folder = sys::open_folder_of(target.c_str());
  if (out.folder < 0 && (errno == ENOENT || errno == ENOTDIR))
    return failed(Failure::cannot_create, "cannot create", path, errno);
  // Its new entry could not be made durable, nor, failing that, the run end well.
  if (out.folder < 0) {
    return failed(Failure::refused, errno, path,
                  "cannot examine %s: its folder can't be opened (%s)", path.c_str(),
                  std::strerror(errno));
  }
  out.folder_id = sys::identify_open(out.folder);
  out.before = sys::identify_at(out.folder, out.name.c_str());
  if (out.before.error != 0 && out.before.error != ENOENT)
    return cannot_examine(path, out.before.error);
  if (out.before.error == 0 && out.before.kind == Kind::folder)
    return failed(Failure::cannot_create, "cannot create", path, EISDIR);
  if (kiv::Result r = refuse_over_input(run, out, out.before)) return r;
  for (const Output& other : run.outputs) {
    if (&other == &out || other.folder < 0 || !one_file(other, out) || keeps_nothing(out.before))
      continue;
    return failed(Failure::refused, 0, path,
                  "refusing to write header and body to one file: %s and %s", other.path.c_str(),
                  path.c_str());
  }
  if (kiv::Result r = refuse_console(path, out.before, "write")) return r;
  // A file the user may not write (a read-only one) is not theirs to replace;
  // of the rest, the open tells.
  if (out.before.error == 0 && out.before.kind == Kind::file &&
      sys::may_write(out.folder, out.name.c_str()) != 0) {
    return failed(Failure::cannot_create, "cannot open", path, errno);
  }
  // Not a regular file, or a name no rename may replace (another user's in a
  // sticky folder, a mount point, an immutable file): written where it is.
  out.in_place =
      out.before.error == 0 && (out.before.kind != Kind::file ||
                                sys::why_unremovable(out.folder, out.name.c_str()) != nullptr);
  // Past the limit a write ends the process (SIGXFSZ) or fails at the end.
  if (!keeps_nothing(out.before) && size > sys::file_size_limit()) {
    return failed(Failure::refused, EFBIG, path,
                  "refusing to write %s: its %llu bytes pass the file size limit", path.c_str(),
                  static_cast<unsigned long long>(size));
  }
  return {};
}

kiv::Result open_output(Run& run, Output& out) {
  if (!out.in_place) {
    out.fd = sys::open_unnamed(out.folder);
    if (out.fd < 0 && errno == EOPNOTSUPP) {
      out.fd = make_own(out.name, ".new-", out.temp,
                        [&](const char* name) { return sys::create_new(out.folder, name); });
      tell_private_name(run, out);
    }
    if (out.fd >= 0) return {};
    // A file the user may write, in a folder that takes no new one: written where it is.
    if (out.before.error != 0 || (errno != EACCES && errno != EPERM))
      return failed(Failure::cannot_create, "cannot create", out.path, errno);
    out.in_place = true;
  }
  out.fd = sys::open_in_place(out.folder, out.name.c_str(), false);
  if (out.fd < 0 && errno == ENXIO) {
    if (kiv::Result r =
            say(run, kiv::Stream::err, "kiv_parse_bin: waiting for a reader of " + out.path + "\n"))
      return r;
    out.fd = sys::open_in_place(out.folder, out.name.c_str(), true);
  }
  if (out.fd < 0) return failed(Failure::cannot_create, "cannot open", out.path, errno);
  const FileIdentity opened = sys::identify_open(out.fd);
  if (out.before.inode != 0 && !same_file(opened, out.before))
    return changed(out.path, "before it was written");
  if (opened.kind == Kind::file && opened.size > 0 && sys::set_size(out.fd, 0) < 0)
    return failed(Failure::io, "cannot empty", out.path, errno);
  return {};
}

kiv::Result put_in_place(Run& run, Output& out) {
  const auto io = [&](const char* action, int error) {
    return failed(Failure::io, action, out.path, error);
  };
  if (!out.in_place) {
    if (out.before.error == 0) sys::take_attributes(out.fd, out.before);
    // Named before it is synced: ext4 without a journal frees, when it next
    // mounts, a file whose link count on disk is 0, whatever entry names it.
    if (out.temp.empty() && make_own(out.name, ".new-", out.temp, [&](const char* name) {
                              return sys::link_unnamed(out.folder, out.fd, name);
                            }) < 0)
      return io("cannot name", errno);
    tell_private_name(run, out);
  }
  if (run.callbacks.progress) run.callbacks.progress(run.done, run.total, true);
  if (sys::sync_file(out.fd, !out.in_place) < 0) return io("cannot sync", errno);
  const FileIdentity written = sys::identify_open(out.fd);
  if (written.error != 0) return cannot_examine(out.path, written.error);
  // Another writer that emptied or extended it meanwhile shows here.
  if (written.kind == Kind::file && written.size != out.size)
    return changed(out.path, "while it was written");
  // Any later write must show in its times: past their tick, unless every change shows anyway.
  if (written.kind == Kind::file && !sys::changes_show(out.fd, written))
    sys::wait_out_tick(std::max(written.modified, written.changed));
  if (!out.in_place) {
    if (kiv::Result r = refuse_over_input(run, out, sys::identify_at(out.folder, out.name.c_str())))
      return r;
    // Its data on disk before any name reaches it, and the new entry after.
    if (sys::rename_over(out.folder, out.temp.c_str(), out.name.c_str()) < 0)
      return io("cannot put in place", errno);
    out.temp.clear();
    tell_private_name(run, out);
    if (sys::sync_folder(out.folder) < 0) return io("cannot sync the directory of", errno);
  }
  // What its name reaches now, which must be the file written (Windows tells
  // a file's volume by name only, once it is renamed).
  const FileIdentity held = sys::identify_open(out.fd);
  out.published = out.in_place ? held : sys::identify_at(out.folder, out.name.c_str());
  if (out.published.error != 0 || held.inode != out.published.inode ||
      held.size != out.published.size) {
    return changed(out.path, "after it was written");
  }
  return {};
}

kiv::Result remove_inputs(Run& run, const char* action) {
  if (kiv::Result r = check_run(run)) return r;
  if (!run.inputs.empty() && run.callbacks.removing && !run.callbacks.removing()) {
    return failed(Failure::stopped, 0, run.inputs.front().path, "stopped: %s is kept",
                  run.inputs.front().path.c_str());
  }
  for (const Input& in : run.inputs)
    if (kiv::Result r = remove_input(run, in, action)) return r;
  return {};
}

void discard(Run& run) {
  for (Input& in : run.inputs) {
    close_input(in);
    sys::close_file(in.folder);
    in.folder = -1;
  }
  for (Output& out : run.outputs) {
    sys::close_file(out.fd);
    if (!out.temp.empty()) sys::remove_at(out.folder, out.temp.c_str());
    out.temp.clear();
    tell_private_name(run, out);
    sys::close_file(out.folder);
    out.fd = out.folder = -1;
  }
}

std::string left_aside(const std::string& path) {
  const int folder = sys::open_folder_of(path.c_str());
  if (folder < 0) return "";
  const std::string name = sys::last_component(path.c_str());
  const std::string left = sys::find_name(folder, left_by_a_run, &name);
  sys::close_file(folder);
  return left.empty() ? left : path.substr(0, path.size() - name.size()) + left;
}
