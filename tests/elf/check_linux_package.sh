#!/usr/bin/env bash
# check_linux_package.sh WINE_RUN BIN NATIVE_PACKER
# The native and the Windows onefile-pack make the same Linux package from
# the same tree and options, with and without --cache; both list it alike,
# with the executable entries marked; readelf reads it without complaint.
# The Windows packer has no execute bit to read and marks the files that
# start as programs do ("#!", ELF), so the tree's executable files are
# exactly those. With the Linux launcher beside both packers (scripts/build
# puts it there), both take it by default too.
set -euo pipefail
wine_run="$1" bin="$2" native="$3"
if [[ ! -x $native ]]; then
  echo "SKIP: no native packer at $native (cmake --preset host && cmake --build --preset host)"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
windows_path() {
  printf 'Z:%s' "${1//\//\\}"
}

tree="$work/tree"
mkdir -p "$tree/bin" "$tree/data" "$tree/données/été"
cp /bin/true "$tree/main.so"
printf '#!/bin/sh\necho tool\n' >"$tree/bin/tool"
chmod 0755 "$tree/main.so" "$tree/bin/tool"
seq 1 300000 >"$tree/data/numbers.txt"
: >"$tree/data/empty"
printf 'accents\n' >"$tree/données/été/note.txt"
chmod 0644 "$tree/data/numbers.txt" "$tree/data/empty" "$tree/données/été/note.txt"
launcher="$work/launcher"
cp /bin/true "$launcher"

# pack NAME LAUNCHER OPTIONS...: the same package from both packers, from
# LAUNCHER ("default": the one beside each packer), compared.
pack() {
  local name="$1" from="$2"
  shift 2
  local native_launcher=() windows_launcher=()
  if [[ $from != default ]]; then
    native_launcher=(--launcher "$from")
    windows_launcher=(--launcher "$(windows_path "$from")")
  fi
  "$native" --linux "${native_launcher[@]}" --main main.so --quiet "$@" \
    --output "$work/native-$name" "$tree"
  "$wine_run" "$bin/onefile-pack.exe" --linux "${windows_launcher[@]}" --main main.so --quiet "$@" \
    --output "$(windows_path "$work/windows-$name")" "$(windows_path "$tree")"
  cmp "$work/native-$name" "$work/windows-$name" ||
    fail "the two packers wrote different $name packages"
}

pack plain "$launcher" --level 5 --threads 2
pack cached "$launcher" --level 3 --cache --cache-location '{TEMP}\{COMPANY}\{PRODUCT}' \
  --company "Example Ltd" --product Sample --file-version 1.2.3

"$native" --list "$work/native-plain" >"$work/native.list"
"$wine_run" "$bin/onefile-pack.exe" --list "$(windows_path "$work/windows-plain")" >"$work/windows.list"
cmp "$work/native.list" "$work/windows.list" || fail "the two packers list differently"
expected='linux
'"$(stat -c %s /bin/true)"' main.so*
'"$(stat -c %s "$tree/bin/tool")"' bin\tool*
0 data\empty
'"$(stat -c %s "$tree/data/numbers.txt")"' data\numbers.txt
8 données\été\note.txt'
[[ "$(cat "$work/native.list")" == "$expected" ]] ||
  fail "the listing is not the tree's: $(cat "$work/native.list")"

for package in "$work/native-plain" "$work/native-cached"; do
  readelf -S -W "$package" >"$work/sections" 2>"$work/readelf.err" || fail "readelf fails on $package"
  [[ -s $work/readelf.err ]] && fail "readelf complains: $(cat "$work/readelf.err")"
done
grep -q ' \.onefile_cache ' "$work/sections" || fail "the cached package has no cache section"

if [[ -x $bin/corvellinth && -x "$(dirname "$native")/corvellinth" ]]; then
  pack default default --level 1
else
  echo "note: no Linux launcher beside the packers yet; the default launcher is not compared"
fi

if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "both packers make the same Linux packages"
