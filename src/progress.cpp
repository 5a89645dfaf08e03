#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "platform.h"

namespace {

constexpr std::uint64_t quiet_ms = 1000;  // short runs show nothing
constexpr std::uint64_t redraw_ms = 250;

bool counting = false;
std::uint64_t total_bytes = 0, done_bytes = 0;
std::uint64_t started_ms = 0, drawn_ms = 0;
int shown_width = 0;  // of the line on the screen; 0 where none is

// Writes bytes as a person reads them: "812 B", "3.4 MiB", "1.0 GiB".
void human(char* out, std::size_t size, double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  for (; bytes >= 1024 && unit < 4; ++unit) bytes /= 1024;
  std::snprintf(out, size, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

void draw(const char* note) {
  std::uint64_t now = sys::monotonic_ms();
  char done[16], total[16], rate[16], line[96];
  human(done, sizeof done, static_cast<double>(done_bytes));
  human(total, sizeof total, static_cast<double>(total_bytes));
  human(rate, sizeof rate,
        static_cast<double>(done_bytes) * 1000 /
            static_cast<double>(std::max<std::uint64_t>(now - started_ms, 1)));
  auto percent = static_cast<unsigned>(total_bytes == 0 ? 100 : done_bytes * 100 / total_bytes);
  int width =
      std::snprintf(line, sizeof line, "%s of %s (%u%%), %s/s%s", done, total, percent, rate, note);
  // Spaces cover what is left of a longer line before it.
  std::fprintf(stderr, "\r%s%*s", line, std::max(shown_width - width, 0), "");
  shown_width = width;
  drawn_ms = now;
}

}  // namespace

void progress_start(std::uint64_t total) {
  counting = sys::is_terminal(2);
  total_bytes = total;
  done_bytes = 0;
  started_ms = sys::monotonic_ms();
}

void progress_add(std::uint64_t bytes) {
  if (!counting) return;
  done_bytes += bytes;
  std::uint64_t now = sys::monotonic_ms();
  if (now - started_ms >= quiet_ms && now - drawn_ms >= redraw_ms) draw("");
}

void progress_syncing() {
  if (counting && sys::monotonic_ms() - started_ms >= quiet_ms) draw(", syncing");
}

void progress_clear() {
  if (shown_width > 0) std::fprintf(stderr, "\r%*s\r", shown_width, "");
  shown_width = 0;
}
