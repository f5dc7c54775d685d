#!/usr/bin/env bash
# Builds the libFuzzer harnesses fuzz/*_fuzz.cc into $FUZZ_BUILD/fuzz/.
#
# The engines' static libraries are compiled by clang through Meson in their
# own build directory, with AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer's coverage instrumentation; each harness is then linked against
# all of them. Needs clang and libclang-rt-14-dev (installed if missing when
# running as root).
#
# Environment:
#   FUZZ_BUILD   build directory (default: build-fuzz at the repository root)
#   FUZZ_WERROR  "false" to build the engines without -Werror (default true)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-fuzz}"
werror="${FUZZ_WERROR:-true}"
python="${PYTHON:-/usr/bin/python3}"

need_packages=()
command -v clang++ >/dev/null || need_packages+=(clang)
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q 'install ok installed' ||
  need_packages+=(libclang-rt-14-dev)
if [ ${#need_packages[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "build.sh: missing packages: ${need_packages[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need_packages[@]}"
fi

sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
# clang 14 with libstdc++ 12 has no std::source_location; see the header.
# firewall/scan_tables.h proves its tables exact by a static_assert that
# takes more constexpr steps than clang allows by default (g++ allows 2^25).
compat=(-include "$root/fuzz/source_location_compat.h" -fconstexpr-steps=67108864)

# One build at a time: several fuzz/run.sh may start together.
mkdir -p "$build"
exec 9>"$build/.fuzz-build.lock"
flock 9

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ meson setup "$build" "$root" \
    -Dpython="$python" -Dtests=false -Dbenchmarks=false \
    -Dbuildtype=debugoptimized -Db_lundef=false -Dwerror="$werror" \
    -Db_sanitize=address,undefined \
    -Dcpp_args="-fsanitize=fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer ${compat[*]}"
fi

# Every static library of the project, whatever units exist today.
mapfile -t libraries < <(meson introspect --targets "$build" | "$python" -c '
import json, sys
for target in json.load(sys.stdin):
    if target["type"] == "static library":
        print(target["filename"][0])
')
if [ ${#libraries[@]} -eq 0 ]; then
  echo "build.sh: no static libraries found in $build" >&2
  exit 1
fi
mapfile -t library_targets < <(for lib in "${libraries[@]}"; do realpath --relative-to="$build" "$lib"; done)
ninja -C "$build" "${library_targets[@]}"

read -r -a system_libs <<<"$(pkg-config --libs libpcre2-8 libhs libcrypto)"

mkdir -p "$build/fuzz"
for source in "$root"/fuzz/*_fuzz.cc; do
  name="$(basename "$source" .cc)"
  out="$build/fuzz/$name"
  # Relink when the harness, a shared fuzz header or a library is newer.
  if [ -x "$out" ] && [ -z "$(find "$source" "$root"/fuzz/*.h "${libraries[@]}" -newer "$out" -print -quit)" ]; then
    continue
  fi
  echo "build.sh: $name"
  clang++ -std=c++20 -O1 -g -ffp-contract=off -Wall -Wextra -Werror \
    "${sanitize[@]}" -fsanitize=fuzzer "${compat[@]}" \
    -I "$root/src" -I "$root/fuzz" "$source" \
    -Wl,--start-group "${libraries[@]}" -Wl,--end-group \
    "${system_libs[@]}" -o "$out"
done
