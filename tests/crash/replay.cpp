// replay LOG MARK SIZE FSTYPE IMAGE HEADER_SIZE SEED SCRATCH
//
// Rebuilds the disk that the disk logger served as a power cut would have left
// it at each write logged after byte MARK of LOG, and, seeded, with the writes
// since the last flush each lost or kept at random (a volatile disk cache).
// Each state is mounted and checked: the image (a copy of IMAGE) must be there
// whole, under its name or the one the tool moves it to before removing it, or
// both outputs of the split must be complete; and each output must be what it
// was before the split or whole, never a part. Prints what it checked, how many states
// held the image moved aside, and every state that broke the rule; exits 0
// when none did, 1 when some did.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "log_record.h"

namespace {

struct Write {
  bool flush;
  std::uint64_t offset;
  std::uint32_t length;
  off_t data;  // where its bytes stand in the log
};

constexpr std::size_t states_at_writes = 200;  // at most; evenly spread where there are more
constexpr std::size_t states_with_losses = 150;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Copies the data of a sparse file, leaving its holes holes.
void copy_sparse(int from, int to, off_t size) {
  if (ftruncate(to, 0) != 0 || ftruncate(to, size) != 0) std::exit(2);
  for (off_t at = lseek(from, 0, SEEK_DATA); at >= 0 && at < size;
       at = lseek(from, at, SEEK_DATA)) {
    off_t end = lseek(from, at, SEEK_HOLE);
    for (off_t in = at, out = at; in < end;) {
      if (copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - in), 0) <= 0) {
        std::exit(2);
      }
    }
    at = end;
  }
}

void apply(int log, int disk, const Write& w) {
  std::vector<char> bytes(w.length);
  if (pread(log, bytes.data(), w.length, w.data) != static_cast<ssize_t>(w.length) ||
      pwrite(disk, bytes.data(), w.length, static_cast<off_t>(w.offset)) !=
          static_cast<ssize_t>(w.length)) {
    std::exit(2);
  }
}

// The image as the tool names it between moving it aside and removing it, if it is there.
std::string moved_aside(const std::string& mnt) {
  for (const auto& entry : std::filesystem::directory_iterator(mnt)) {
    if (entry.path().filename().string().starts_with(".a.img.kiv_parse_bin-")) return entry.path();
  }
  return "";
}

// Under its name an output is what it was before the split (what SCRATCH/old.NAME
// holds, or where there is no such file, nothing), or the whole new one.
bool old_or_whole(const std::string& mnt, const std::string& scratch, const std::string& name,
                  const std::string& whole) {
  struct stat st {};
  const bool there = stat((mnt + "/" + name).c_str(), &st) == 0;
  const bool was = stat((scratch + "/old." + name).c_str(), &st) == 0;
  const std::string now = there ? read_all(mnt + "/" + name) : "";
  return there ? now == whole || (was && now == read_all(scratch + "/old." + name)) : !was;
}

// Mounts the state and returns what a user would find: "" when the image or
// both outputs are whole, otherwise what is wrong. Counts the states that
// held the image moved aside.
std::string check(const std::string& state, const std::string& fstype, const std::string& mnt,
                  const std::string& scratch, const std::string& image, std::size_t header_size,
                  std::size_t& aside) {
  std::string options = fstype == "xfs" ? "loop,nouuid" : "loop";
  std::string mount = "mount -t " + fstype + " -o " + options + " " + state + " " + mnt;
  std::string unmount = "umount " + mnt;
  // Through FUSE, on a loop device, whose unmount waits for the driver to be
  // done with it. An NTFS volume is repaired first, as Linux's ntfs-3g users
  // do when the disk comes back (ntfs-3g's own write order leaves most cuts
  // unmountable otherwise, whatever the tool did).
  if (fstype == "exfat" || fstype == "ntfs") {
    const std::string driver =
        fstype == "exfat" ? "mount.exfat-fuse $d " : "ntfsfix -d $d >/dev/null && ntfs-3g $d ";
    mount = "d=$(losetup -f --show " + state + ") && { " + driver + mnt +
            " || { losetup -d $d; false; }; }";
    unmount += " && losetup -j " + state + " -n -O NAME | xargs -r -n 1 losetup -d";
  }
  // NOLINTNEXTLINE(cert-env33-c): fixed commands on the checker's own paths
  if (std::system((mount + " 2>/dev/null").c_str()) != 0) return "does not mount";
  std::string found;
  struct stat st {};
  const std::string elsewhere = moved_aside(mnt);
  if (!elsewhere.empty()) ++aside;
  // A removal half on disk (on a file system without a journal, say) can leave
  // a name whose file is gone: harmless while the outputs are complete.
  const bool image_whole =
      (stat((mnt + "/a.img").c_str(), &st) == 0 && read_all(mnt + "/a.img") == image) ||
      (!elsewhere.empty() && read_all(elsewhere) == image);
  const bool outputs_complete = read_all(mnt + "/h.bin") == image.substr(0, header_size) &&
                                read_all(mnt + "/b.bin") == image.substr(header_size);
  if (!image_whole && !outputs_complete) found = "neither the image nor both outputs are whole";
  for (const std::string name : {"h.bin", "b.bin"}) {
    const std::string whole =
        name == "h.bin" ? image.substr(0, header_size) : image.substr(header_size);
    std::string at = mnt;
    at.append("/").append(name);
    struct stat there {};
    const bool is_there = stat(at.c_str(), &there) == 0;
    // ntfs-3g removes the entry a rename replaces before it writes the new
    // one: a cut between them leaves the name to neither, the image whole.
    if (fstype == "ntfs" && image_whole && !is_there) continue;
    if (!old_or_whole(mnt, scratch, name, whole)) {
      found = name;
      found += " is neither what it was nor whole (";
      found += is_there ? std::to_string(there.st_size) + " bytes)" : std::string("not there)");
    }
  }
  if (std::system(unmount.c_str()) != 0) std::exit(2);  // NOLINT(cert-env33-c)
  return found;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 9) return 2;
  const std::string log_path = argv[1], fstype = argv[4], scratch = argv[8];
  const off_t mark = std::strtoll(argv[2], nullptr, 10), size = std::strtoll(argv[3], nullptr, 10);
  const std::string image = read_all(argv[5]);
  const std::size_t header_size = std::strtoul(argv[6], nullptr, 10);
  std::mt19937 random(static_cast<unsigned>(std::strtoul(argv[7], nullptr, 10)));

  int log = open(log_path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string base_path = scratch + "/base", state_path = scratch + "/state";
  int base = open(base_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int state = open(state_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0 || base < 0 || state < 0 || ftruncate(base, size) != 0) return 2;

  // The disk as it was at the mark is the base; what came after is replayed.
  std::vector<Write> after;
  LogRecord record{};
  for (off_t at = 0; pread(log, &record, sizeof record, at) == sizeof record;) {
    Write w{record.kind == 'F', record.offset, record.length, at + off_t{sizeof record}};
    at = w.data + (w.flush ? 0 : w.length);
    if (w.data <= mark) {
      if (!w.flush) apply(log, base, w);
    } else {
      after.push_back(w);
    }
  }

  std::size_t checked = 0, broken = 0, flushes = 0, aside = 0;
  auto verdict = [&](const std::string& what) {
    std::string found =
        check(state_path, fstype, scratch + "/mnt", scratch, image, header_size, aside);
    ++checked;
    if (!found.empty() && ++broken <= 10) std::printf("  %s: %s\n", what.c_str(), found.c_str());
  };
  // A power cut after each of the first k writes, every write applied.
  std::vector<std::size_t> cuts;
  for (std::size_t k = 0; k < after.size(); k += after.size() / states_at_writes + 1) {
    cuts.push_back(k);
  }
  cuts.push_back(after.size());
  for (std::size_t k : cuts) {
    copy_sparse(base, state, size);
    for (std::size_t i = 0; i < k; ++i) {
      if (!after[i].flush) apply(log, state, after[i]);
    }
    verdict("cut after write " + std::to_string(k));
  }
  // A power cut after write k, the writes since the last flush each lost or kept
  // (at least one lost: the rest are states already checked above).
  for (const Write& w : after) flushes += w.flush ? 1 : 0;
  for (std::size_t n = 0, tries = 0; n < states_with_losses && tries < 100 * states_with_losses;
       ++tries) {
    std::size_t k = std::uniform_int_distribution<std::size_t>(1, after.size())(random);
    std::size_t last_flush = 0;
    for (std::size_t i = 0; i < k; ++i) {
      if (after[i].flush) last_flush = i + 1;
    }
    std::vector<bool> lost(k, false);
    std::string named;
    for (std::size_t i = last_flush; i < k; ++i) {
      lost[i] = random() % 2 == 0;
      if (lost[i]) named += " " + std::to_string(i);
    }
    if (named.empty()) continue;
    copy_sparse(base, state, size);
    for (std::size_t i = 0; i < k; ++i) {
      if (!after[i].flush && !lost[i]) apply(log, state, after[i]);
    }
    verdict("cut after write " + std::to_string(k) + ", lost" + named);
    ++n;
  }
  std::printf(
      "%s: %zu states checked (%zu writes and %zu flushes replayed), the image moved aside in %zu: "
      "%zu broken\n",
      fstype.c_str(), checked, after.size() - flushes, flushes, aside, broken);
  return broken == 0 ? 0 : 1;
}
