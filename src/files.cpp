#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"
#include "guard.h"
#include "platform.h"
#include "progress.h"

Output open_output(const char* path) {
  Output out{.fd = sys::open_output(path), .path = path, .opened = {}, .size = 0};
  if (out.fd < 0) return out;
  out.opened = examine_open(out.fd, path);
  return out;
}

void claim_output(const Output& out) {
  if (out.opened.kind != Kind::file) return;  // nothing to lock or empty
  sys::lock_file(out.fd);
  if (sys::empty_file(out.fd) < 0) fail_errno("cannot empty", out.path);
}

FileIdentity sync_output(const Output& out) {
  progress_syncing();
  if (sys::sync_file(out.fd) < 0) fail_errno("cannot sync", out.path);
  FileIdentity synced = examine_open(out.fd, out.path);
  // Another writer that emptied or extended it while the tool wrote shows here.
  if (synced.kind == Kind::file && synced.size != out.size) {
    fail(stderr, "kiv_parse_bin: %s changed after it was written\n", out.path);
  }
  return synced;
}

void sync_folders(const char* first, const char* second) {
  const char* paths[] = {first, second};
  char* folders[] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    if (paths[i] == nullptr) continue;
    folders[i] = sys::folder_of(paths[i]);
    if (folders[i] == nullptr) fail_errno("cannot sync the directory of", paths[i]);
    bool synced_already =
        i == 1 && folders[0] != nullptr && std::strcmp(folders[0], folders[1]) == 0;
    if (!synced_already && sys::sync_folder(folders[i]) < 0) {
      fail_errno("cannot sync the directory of", paths[i]);
    }
  }
  std::free(folders[0]);
  std::free(folders[1]);
}

void close_input(const Input& in) {
  if (sys::close_file(in.fd) < 0) fail_errno("cannot close", in.path);
}

void close_output(const Output& out) {
  if (sys::close_file(out.fd) < 0) fail_errno("cannot close", out.path);
}
