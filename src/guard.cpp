#include "guard.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console.h"
#include "platform.h"

namespace {

// The run's input, from hold_input to its removal.
struct HeldInput {
  const char* path = nullptr;
  FileIdentity recorded;
  int watch = -1;
  bool others_only = false;  // the watch reports other programs' changes only
};
HeldInput input;
// The run's outputs, from claim_output to let_go_of_outputs: a split's two, a merge's one.
Output outputs[2];
std::size_t outputs_held = 0;
bool said_unwatched = false;

// Once a run, where a file can't be watched: the tool then relies on what it
// can still prove (the times, past the clock's tick, and reading back what it wrote).
void say_unwatched(const char* path) {
  if (said_unwatched) return;
  said_unwatched = true;
  warn("no change to %s can be watched (%s): its times and contents are checked instead", path,
       std::strerror(errno));
}

// Ends the process naming every held file whose notices were lost.
[[noreturn]] void fail_lost(const char* first) {
  std::string names = first;
  std::vector<const char*> more;
  if (input.watch >= 0 && input.path != first &&
      (sys::watch_seen(input.watch) & sys::seen_lost) != 0)
    more.push_back(input.path);
  for (std::size_t i = 0; i < outputs_held; ++i) {
    const Output& out = outputs[i];
    if (out.watch >= 0 && out.path != first && (sys::watch_seen(out.watch) & sys::seen_lost) != 0)
      more.push_back(out.path);
  }
  for (std::size_t i = 0; i < more.size(); ++i)
    names.append(i + 1 == more.size() ? " and " : ", ").append(more[i]);
  fail("changes to %s could not all be followed: too many came at once", names.c_str());
}

// What the watch saw since last asked (nothing where none is set).
unsigned seen(int watch, const char* path) {
  const unsigned bits = watch < 0 ? 0 : sys::watch_seen(watch);
  if ((bits & sys::seen_lost) != 0) fail_lost(path);
  return bits;
}

[[noreturn]] void changed(const char* path) { fail("%s changed while it was copied", path); }
[[noreturn]] void changed_while(const char* path) { fail("%s changed while it was written", path); }
[[noreturn]] void changed_after(const char* path) { fail("%s changed after it was written", path); }

// True when now is the file `before` describes, unchanged since. A pipe or a
// device keeps nothing that could change, so being the same one is enough
// (or, where the system can't tell them apart, being one still).
bool unchanged(const FileIdentity& now, const FileIdentity& before) {
  if (now.error != 0) return false;
  if (keeps_nothing(before)) {
    return now.kind == before.kind && (before.inode == 0 || same_file(now, before));
  }
  return same_file(now, before) && now.size == before.size && now.modified == before.modified &&
         now.changed == before.changed;
}

// The names the tool moves an input to before removing it: ".NAME.kiv_parse_bin-"
// then the process and attempt, or where NAME leaves no room, a short hash of
// it, so a leftover still tells which file it was.
std::string aside_prefix(const char* name, bool short_name) {
  std::string prefix = ".";
  if (!short_name) return prefix.append(name).append(".kiv_parse_bin-");
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char* p = name; *p != '\0'; ++p)
    hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
  return prefix.append("kiv_parse_bin-").append(text).append("-");
}

// Renames name in folder to a name of the tool's own beside it, never over
// another file; returns that name, or "" with errno set. Where every name is
// taken, ends the process saying so.
std::string move_aside(int folder, const char* name, const char* path, const char* action) {
  for (bool short_name : {false, true}) {
    const std::string prefix =
        aside_prefix(name, short_name) + std::to_string(sys::process_id()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string aside = prefix + std::to_string(attempt);
      if (sys::rename_new_at(folder, name, aside.c_str()) == 0) return aside;
      if (errno == ENAMETOOLONG && !short_name) break;
      if (errno != EEXIST) return "";
    }
    if (errno == EEXIST) {
      fail("%s %s: no name is free to move it aside to (%s0 to 99 are taken)", action, path,
           prefix.c_str());
    }
  }
  return "";
}

void check_output(const Output& out) {
  if (seen(out.watch, out.path) != 0 || !unchanged(sys::identify(out.path), out.written) ||
      !unchanged(sys::identify_open(out.fd), out.written)) {
    changed_after(out.path);
  }
}

// Brings the entries of every folder that got an output's name to stable storage, each once.
void sync_folders() {
  std::vector<std::string> synced;
  for (std::size_t i = 0; i < outputs_held; ++i) {
    const Output& out = outputs[i];
    if (out.opened.kind != Kind::file) continue;  // a pipe or device has no entry to sync
    std::string folder;
    if (!sys::folder_of(out.path, folder)) {
      if (errno == ENOENT) changed_after(out.path);  // removed since it was written
      fail_errno("cannot sync the directory of", out.path);
    }
    if (std::find(synced.begin(), synced.end(), folder) != synced.end()) continue;
    if (sys::sync_folder(folder.c_str()) < 0) fail_errno("cannot sync the directory of", out.path);
    synced.push_back(folder);
  }
}

// Where a move is a new link and then the old name's removal, a run stopped
// between the two left the file under a second name of the tool's own. Once
// the file is removed by its name, that name goes too, if it is still the
// file that was copied (checked under a name of this run's own); anything
// else there is left as it is.
void drop_second_name(int folder, const char* name, const FileIdentity& before) {
  for (bool short_name : {false, true}) {
    const std::string left = sys::find_name(folder, aside_prefix(name, short_name).c_str());
    if (left.empty()) continue;
    const std::string aside = move_aside(folder, left.c_str(), left.c_str(), "cannot remove");
    if (aside.empty()) continue;
    const FileIdentity moved = sys::identify_at(folder, aside.c_str());
    if (moved.error == 0 && same_file(moved, before) && moved.size == before.size &&
        moved.modified == before.modified && sys::remove_at(folder, aside.c_str()) == 0)
      continue;
    sys::rename_new_at(folder, aside.c_str(), left.c_str());
  }
}

// Removes name from folder once it is checked to be the input held, by way of
// a name of the tool's own (see retire_input).
void remove_checked(int folder, const char* name, const char* action) {
  const char* path = input.path;
  const FileIdentity& before = input.recorded;
  if (seen(input.watch, path) != 0 || !unchanged(sys::identify_at(folder, name), before)) {
    changed(path);
  }
  if (sys::moving_copies(folder)) {
    // As rm removes it: moving a file of an overlay's lower layer aside would
    // first copy it whole into the upper one. Only a watch that names who
    // changed it can tell a file renamed over it in that instant.
    if (sys::remove_at(folder, name) != 0) fail_errno(action, path);
    if (input.others_only && (seen(input.watch, path) & sys::seen_changed) != 0) {
      fail("%s was replaced as it was removed: what was removed is not what was copied", path);
    }
    return;
  }
  const std::string aside = move_aside(folder, name, path, action);
  if (aside.empty()) fail_errno(action, path);
  // The move itself sets the time of change and, where the watch can't tell
  // the tool's own doing, shows as a move: anything more, or another size or
  // time of last write, is another program's.
  const FileIdentity moved = sys::identify_at(folder, aside.c_str());
  bool copied = (seen(input.watch, path) & sys::seen_changed) == 0 && moved.error == 0 &&
                same_file(moved, before) && moved.size == before.size &&
                moved.modified == before.modified;
  if (copied && sys::remove_at(folder, aside.c_str()) == 0) {
    drop_second_name(folder, name, before);
    return;
  }
  int error = errno;
  // Not the file that was copied, or it can't be removed: it goes back where it was.
  if (sys::rename_new_at(folder, aside.c_str(), name) != 0) {
    fail("cannot move %s back: it is kept as %.*s%s", path,
         static_cast<int>(sys::last_component(path) - path), path, aside.c_str());
  }
  if (!copied) changed(path);
  errno = error;
  fail_errno(action, path);
}

}  // namespace

void refuse_unless_file(const char* path, const FileIdentity& id, const char* verb) {
  if (id.error == 0 && id.kind != Kind::file)
    fail("refusing to %s %s: not a regular file", verb, path);
}

void refuse_console_file(const char* path, const FileIdentity& id, const char* verb) {
  if (id.kind == Kind::device) return;  // a terminal, /dev/null: lines and bytes don't mix there
  const char* const names[] = {"standard output", "standard error"};
  for (int fd = 1; fd <= 2; ++fd) {
    if (same_file(sys::identify_open(fd), id)) {
      fail("refusing to %s %s: it is also %s", verb, path, names[fd - 1]);
    }
  }
}

void refuse_unremovable(const char* path, const char* verb) {
  const int folder = sys::open_folder_of(path);
  if (folder < 0 && errno == ENOENT) return;  // the open that reads it says why
  if (folder < 0) fail_errno("cannot examine the folder of", path);
  const char* why = sys::why_unremovable(folder, sys::last_component(path));
  sys::close_folder(folder);
  if (why != nullptr) fail("refusing to %s %s: %s, so it could not be removed", verb, path, why);
}

void hold_input(const char* path, const FileIdentity& id) {
  input = HeldInput{path, id, -1, false};
  if (id.error != 0) return;
  const Input in{.fd = sys::open_input(path), .path = path};
  if (in.fd < 0) return;  // the open that reads it says why
  input.watch = sys::watch_file(in.fd, path, input.others_only);
  if (input.watch < 0) {
    say_unwatched(path);
    // A change within the clock's tick would leave the times as recorded:
    // the look that counts comes once no such change can.
    if (sys::coarse_times(id)) {
      sys::wait_out_clock(id);
      input.recorded = examine_open(in.fd, path);
    }
  }
  check_input(in);
  close_input(in);
}

const FileIdentity& held_input() { return input.recorded; }

void check_input(const Input& in) {
  if (seen(input.watch, in.path) != 0 || !unchanged(examine_open(in.fd, in.path), input.recorded)) {
    changed(in.path);
  }
}

void check_input_named() {
  const FileIdentity now = sys::identify(input.path);
  if (now.error == ENOENT) {
    errno = ENOENT;
    fail_cannot_open(input.path);
  }
  if (seen(input.watch, input.path) != 0 || !unchanged(now, input.recorded)) changed(input.path);
}

void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected) {
  if (copied != expected) changed(path);
}

Output& claim_output(const Output& opened) {
  if (outputs_held == std::size(outputs)) fail("cannot hold more than two outputs");
  Output& out = outputs[outputs_held++] = opened;
  if (out.opened.kind != Kind::file) return out;  // nothing to lock, watch or empty
  if (!sys::lock_file(out.fd, false)) {
    // Another run writing it, or a script's own flock(1) around this run: never wait unseen.
    warn("waiting for %s: another program holds a lock on it", out.path);
    sys::lock_file(out.fd, true);
  }
  out.watch = sys::watch_file(out.fd, out.path, out.others_only);
  if (out.watch < 0) say_unwatched(out.path);
  return out;
}

void empty_output(Output& out) {
  if (out.opened.kind == Kind::file && sys::empty_file(out.fd) < 0)
    fail_errno("cannot empty", out.path);
}

void finish_output(Output& out, const Input& from, std::uint64_t from_at, std::uint64_t at,
                   std::uint64_t length, std::uint64_t fill) {
  const bool file = out.opened.kind == Kind::file;
  // What the copy has not yet sent on its way goes now, and is on disk by the
  // time the sync asks for it where another step comes between.
  if (file) sys::start_writeback(out.fd, 0, out.size);
  if (out.watch >= 0 && out.others_only && seen(out.watch, out.path) != 0) changed_while(out.path);
  // The tool's own writes, which such a watch reports too; from here on it sees others' only.
  if (out.watch >= 0 && !out.others_only) sys::watch_seen(out.watch);
  out.written = examine_open(out.fd, out.path);
  if (file && out.watch < 0 && sys::coarse_times(out.written)) {
    sys::wait_out_clock(out.written);
    out.written = examine_open(out.fd, out.path);
  }
  // Another writer that emptied or extended it while the tool wrote shows here.
  if (file && out.written.size != out.size) changed_while(out.path);
  if (file && (out.watch < 0 || !out.others_only)) {
    // What was read back before must read back the same; then what is new.
    std::uint64_t before = nothing_read_back, after = out.read_back;
    if (!holds(out, 0, nullptr, 0, at, -1, before) || before != out.read_back ||
        !holds(out, at, &from, from_at, length, 0, after) ||
        !holds(out, at + length, nullptr, 0, fill, 0xFF, after)) {
      changed_while(out.path);
    }
    out.read_back = after;
  }
}

void retire_input(const char* action) {
  for (std::size_t i = 0; i < outputs_held; ++i) sync_output(outputs[i]);
  sync_folders();
  for (std::size_t i = 0; i < outputs_held; ++i) check_output(outputs[i]);
  if (!sys::hold_signals()) {
    sys::release_signals();  // a signal that came already ends the run here
    fail("stopped by a signal: %s is kept", input.path);
  }
  const int folder = sys::open_folder_of(input.path);
  if (folder < 0) fail_errno(action, input.path);
  remove_checked(folder, sys::last_component(input.path), action);
  sys::close_folder(folder);
  sys::unwatch(input.watch);
  input.watch = -1;
}

void let_go_of_outputs() {
  for (std::size_t i = 0; i < outputs_held; ++i) {
    sys::unwatch(outputs[i].watch);
    close_output(outputs[i]);
  }
  outputs_held = 0;
}

std::string left_aside(const char* path) {
  const int folder = sys::open_folder_of(path);
  if (folder < 0) return "";
  std::string left;
  const char* name = sys::last_component(path);
  for (bool short_name : {false, true}) {
    if (left.empty()) left = sys::find_name(folder, aside_prefix(name, short_name).c_str());
  }
  sys::close_folder(folder);
  return left.empty() ? left : std::string(path, sys::last_component(path)) + left;
}

void fail_cannot_open(const char* path) {
  const int error = errno;
  // Windows keeps the image from writers by opening it unshared: a writer already there shows so.
  if (error == EBUSY) fail("cannot open %s: another program has it open for writing", path);
  const std::string left = error == ENOENT ? left_aside(path) : "";
  if (left.empty()) fail("cannot open %s: %s", path, std::strerror(error));
  fail("cannot open %s: %s (a stopped run left it as %s: rename it back to split it)", path,
       std::strerror(error), left.c_str());
}
