#include "guard.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fail.h"
#include "platform.h"

namespace {

[[noreturn]] void changed(const char* path) { fail("%s changed while it was copied", path); }

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

// What the watch on a file saw since it was last asked (nothing where none is set).
unsigned seen(const FileIdentity& id) { return id.watch < 0 ? 0 : sys::watch_seen(id.watch); }

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

[[noreturn]] void changed_after(const char* path) { fail("%s changed after it was written", path); }

void check_output(const Written& out) {
  if (seen(out.finished) != 0 || !unchanged(sys::identify(out.path), out.finished)) {
    changed_after(out.path);
  }
}

// Removes name from folder once it is checked to be the input `before`
// records, by way of a name of the tool's own (see retire_input).
void remove_checked(int folder, const char* name, const char* path, const FileIdentity& before,
                    const char* action) {
  if (seen(before) != 0 || !unchanged(sys::identify_at(folder, name), before)) changed(path);
  const std::string aside = move_aside(folder, name, path, action);
  if (aside.empty()) fail_errno(action, path);
  // The move itself sets the time of change and shows as a move to the watch:
  // anything more, or another size or time of last write, is another program's.
  const FileIdentity moved = sys::identify_at(folder, aside.c_str());
  bool copied = (seen(before) & sys::seen_changed) == 0 && moved.error == 0 &&
                same_file(moved, before) && moved.size == before.size &&
                moved.modified == before.modified;
  if (copied && sys::remove_at(folder, aside.c_str()) == 0) return;
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

void watch_input(const char* path, FileIdentity& id) {
  if (id.error != 0) return;
  const Input in{.fd = sys::open_input(path), .path = path};
  if (in.fd < 0) return;  // the open that reads it says why
  id.watch = sys::watch_file(in.fd, path);
  check_opened(in, id);
  close_input(in);
}

void check_opened(const Input& in, const FileIdentity& before) {
  if (seen(before) != 0 || !unchanged(examine_open(in.fd, in.path), before)) changed(in.path);
}

void check_copied(const char* path, std::uint64_t copied, std::uint64_t expected) {
  if (copied != expected) changed(path);
}

void sync_closed(const Written& out) {
  if (keeps_nothing(out.finished)) return;  // a pipe or /dev/null: nothing kept to sync
  const Output again{.fd = sys::open_to_sync(out.path), .path = out.path, .opened = {}, .size = 0};
  if (again.fd < 0 && errno == ENOENT) changed_after(out.path);
  if (again.fd < 0) fail_errno("cannot sync", out.path);
  // Another file renamed over the name since would be synced in its place.
  if (seen(out.finished) != 0 || !unchanged(examine_open(again.fd, out.path), out.finished)) {
    changed_after(out.path);
  }
  sync_output(again);
  close_output(again);
}

void retire_input(const char* path, const FileIdentity& before,
                  std::initializer_list<Written> outputs, const char* action) {
  const char* folders[2] = {nullptr, nullptr};
  int count = 0;
  for (const Written& out : outputs) {
    if (out.finished.kind == Kind::file && count < 2) folders[count++] = out.path;
  }
  sync_folders(folders[0], folders[1]);
  for (const Written& out : outputs) check_output(out);
  const int folder = sys::open_folder_of(path);
  if (folder < 0) fail_errno(action, path);
  remove_checked(folder, sys::last_component(path), path, before, action);
  sys::close_folder(folder);
  for (const Written& out : outputs) sys::unwatch(out.finished.watch);
  sys::unwatch(before.watch);
}

void fail_cannot_open(const char* path) {
  const int error = errno;
  std::string left;
  const int folder = error == ENOENT ? sys::open_folder_of(path) : -1;
  const char* name = sys::last_component(path);
  for (bool short_name : {false, true}) {
    if (folder >= 0 && left.empty())
      left = sys::find_name(folder, aside_prefix(name, short_name).c_str());
  }
  if (folder >= 0) sys::close_folder(folder);
  // Windows keeps the image from writers by opening it unshared: a writer already there shows so.
  if (error == EBUSY) fail("cannot open %s: another program has it open for writing", path);
  if (left.empty()) fail("cannot open %s: %s", path, std::strerror(error));
  fail("cannot open %s: %s (a stopped run left it as %.*s%s: rename it back to split it)", path,
       std::strerror(error), static_cast<int>(name - path), path, left.c_str());
}
