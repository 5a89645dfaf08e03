#include "files.h"

#include <cerrno>
#include <string>

#include "fail.h"
#include "identity.h"
#include "platform.h"
#include "progress.h"

namespace {

// How long a FIFO may lack a reader before the run says it waits.
constexpr unsigned reader_grace_ms = 1000, reader_poll_ms = 50;

// Starts watching the output from its sync until the input goes; -1 where no
// watch can be set or nothing is kept that could change.
int watch_output(const Output& out) {
  return out.opened.kind == Kind::file ? sys::watch_file(out.fd, out.path) : -1;
}

}  // namespace

Output open_output(const char* path) {
  Output out{.fd = sys::open_output(path, false), .path = path, .opened = {}, .size = 0};
  for (unsigned waited = 0; out.fd < 0 && errno == ENXIO && waited < reader_grace_ms;
       waited += reader_poll_ms) {
    sys::sleep_ms(reader_poll_ms);
    out.fd = sys::open_output(path, false);
  }
  if (out.fd < 0 && errno == ENXIO && examine(path).kind == Kind::pipe) {
    warn("waiting for a reader of %s", path);
    out.fd = sys::open_output(path, true);
  }
  if (out.fd < 0) return out;
  out.opened = examine_open(out.fd, path);
  return out;
}

void claim_output(const Output& out) {
  if (out.opened.kind != Kind::file) return;  // nothing to lock or empty
  if (!sys::lock_file(out.fd, false)) {
    // Another run writing it, or a script's own flock(1) around this run: never wait unseen.
    warn("waiting for %s: another program holds a lock on it", out.path);
    sys::lock_file(out.fd, true);
  }
  if (sys::empty_file(out.fd) < 0) fail_errno("cannot empty", out.path);
}

FileIdentity finish_output(const Output& out) {
  // What the copy has not yet sent on its way goes now, and is on disk by the
  // time the sync asks for it where another step comes between.
  if (out.opened.kind == Kind::file) sys::start_writeback(out.fd, 0, out.size);
  // From here on the tool writes it no more: whatever its watch sees is another program's.
  const int watch = watch_output(out);
  FileIdentity finished = examine_open(out.fd, out.path);
  finished.watch = watch;
  // Another writer that emptied or extended it while the tool wrote shows here.
  if (finished.kind == Kind::file && finished.size != out.size) {
    fail("%s changed after it was written", out.path);
  }
  return finished;
}

void sync_output(const Output& out) {
  progress_syncing();
  if (sys::sync_file(out.fd) < 0) fail_errno("cannot sync", out.path);
}

void sync_folders(const char* first, const char* second) {
  const char* paths[] = {first, second};
  std::string folders[2];
  for (int i = 0; i < 2; ++i) {
    if (paths[i] == nullptr) continue;
    if (!sys::folder_of(paths[i], folders[i])) fail_errno("cannot sync the directory of", paths[i]);
    bool synced_already = i == 1 && paths[0] != nullptr && folders[0] == folders[1];
    if (!synced_already && sys::sync_folder(folders[i].c_str()) < 0) {
      fail_errno("cannot sync the directory of", paths[i]);
    }
  }
}

void close_input(const Input& in) {
  if (sys::close_file(in.fd) < 0) fail_errno("cannot close", in.path);
}

void close_output(const Output& out) {
  if (sys::close_file(out.fd) < 0) fail_errno("cannot close", out.path);
}
