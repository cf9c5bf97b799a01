#!/usr/bin/env bash
# check_package.sh WINE_RUN BIN NATIVE_PACKER ICON
# The native and the Windows onefile-pack make the same bytes from the same
# tree and options, with and without --cache; the package's headers read right with the cross
# objdump (the new resource section last, on a page boundary, named by the
# resource directory, inside SizeOfImage; the checksum recomputed here);
# both list the same entries; both refuse a name that could be another's
# short name alike; and the package runs under Wine. With --console both
# take the console launcher from beside them. The same for Linux packages
# (--linux), listed with their executable entries marked and read by
# readelf without complaint; a short name's look-alike is packed there.
set -euo pipefail
wine_run="$1" bin="$2" native="$3" icon="$4"
if [[ ! -x $native ]]; then
  echo "SKIP: no native packer at $native (cmake --preset host && cmake --build --preset host)"
  exit 77
fi
source "$(dirname "${BASH_SOURCE[0]}")/../support/script_checks.sh"

tree="$work/tree"
cp -r "$bin/../sample_app" "$tree"
seq 1 300000 >"$tree/data/numbers.txt"
: >"$tree/data/empty"
mkdir -p "$tree/données/été"
printf 'accents\n' >"$tree/données/été/note.txt"

options=(--main main.dll --level 5 --threads 2 --quiet --name Sample --company "Example Ltd"
  --file-version 1.2.3)
"$native" "${options[@]}" --icon "$icon" --output "$work/native.exe" "$tree"
"$wine_run" "$bin/onefile-pack.exe" "${options[@]}" --icon "$(windows_path "$icon")" \
  --output "$(windows_path "$work/windows.exe")" "$(windows_path "$tree")"
echo "native: $(stat -c %s "$work/native.exe") bytes, windows: $(stat -c %s "$work/windows.exe") bytes"
cmp "$work/native.exe" "$work/windows.exe" || fail "the two packers wrote different bytes"

# --console: both packers find the console launcher beside them.
"$native" --console --main main.dll --level 1 --quiet --output "$work/native-console.exe" "$tree"
"$wine_run" "$bin/onefile-pack.exe" --console --main main.dll --level 1 --quiet \
  --output "$(windows_path "$work/windows-console.exe")" "$(windows_path "$tree")"
cmp "$work/native-console.exe" "$work/windows-console.exe" ||
  fail "the two packers wrote different console packages"
console_header="$(x86_64-w64-mingw32-objdump -p "$work/native-console.exe")"
grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$console_header" ||
  fail "the console package is not of subsystem 3"
[[ "$("$native" --list "$work/native-console.exe")" == "subsystem console"$'\n'* ]] ||
  fail "--list does not say that the console package is one"

"$native" --list "$work/native.exe" >"$work/native.list"
"$wine_run" "$bin/onefile-pack.exe" --list "$(windows_path "$work/windows.exe")" >"$work/windows.list"
cmp "$work/native.list" "$work/windows.list" || fail "the two packers list differently"
grep -qx '0 data\\empty' "$work/native.list" || fail "the empty file is not listed"

header="$(x86_64-w64-mingw32-objdump -p "$work/native.exe" 2>"$work/objdump.err")"
[[ -s $work/objdump.err ]] && fail "objdump complains: $(cat "$work/objdump.err")"
last="$(x86_64-w64-mingw32-objdump -h "$work/native.exe" | awk '$1 ~ /^[0-9]+$/ {line=$0} END {print line}')"
read -r _ name size vma _ offset _ <<<"$last"
base=$(awk '$1 == "ImageBase" {print $2}' <<<"$header")
image_size=$(awk '$1 == "SizeOfImage" {print $2}' <<<"$header")
checksum=$(awk '$1 == "CheckSum" {print $2}' <<<"$header")
resources=$(awk '$1 == "Entry" && $2 == "2" {print $3, $4}' <<<"$header")
address=$((0x$vma - 0x$base))
[[ $name == .rsrc ]] || fail "the last section is $name, not .rsrc"
(((0x$offset % 4096) == 0)) || fail "the resource section starts at file offset 0x$offset"
[[ $resources == "$(printf '%016x %08x' "$address" "0x$size")" ]] ||
  fail "the resource directory ($resources) is not the section ($address, 0x$size)"
(((0x$image_size) == ((address + 0x$size + 4095) / 4096 * 4096))) ||
  fail "SizeOfImage 0x$image_size does not end with the last section"
checksum_of() {
  python3 "$(dirname "${BASH_SOURCE[0]}")/checksum.py" "$1"
}
computed="$(checksum_of "$work/native.exe")"
[[ $computed == "$checksum" ]] || fail "CheckSum $checksum, computed $computed"

# A cached package: its record is written once the attached data is
# through, and the checksum must cover it.
cache_options=(--cache --cache-location '{TEMP}\{COMPANY}\{PRODUCT}')
"$native" "${options[@]}" "${cache_options[@]}" --output "$work/native-cached.exe" "$tree"
"$wine_run" "$bin/onefile-pack.exe" "${options[@]}" "${cache_options[@]}" \
  --output "$(windows_path "$work/windows-cached.exe")" "$(windows_path "$tree")"
cmp "$work/native-cached.exe" "$work/windows-cached.exe" ||
  fail "the two packers wrote different cached packages"
cached_checksum=$(x86_64-w64-mingw32-objdump -p "$work/native-cached.exe" |
  awk '$1 == "CheckSum" {print $2}')
[[ "$(checksum_of "$work/native-cached.exe")" == "$cached_checksum" ]] ||
  fail "the cached package's CheckSum $cached_checksum is not its checksum"

# The same refusal from both: a name that could be another's short name.
alias_tree="$work/alias"
mkdir -p "$alias_tree"
for name in main.dll mainprogram.dll MAINPR~1.DLL; do
  printf '%s' "$name" >"$alias_tree/$name"
done
set +e
native_refusal="$("$native" --main main.dll --quiet --output "$work/alias.exe" "$alias_tree" 2>&1)"
native_status=$?
windows_refusal="$("$wine_run" "$bin/onefile-pack.exe" --main main.dll --quiet \
  --output "$(windows_path "$work/alias.exe")" "$(windows_path "$alias_tree")" 2>&1)"
windows_status=$?
set -e
[[ $native_status -eq 1 && $native_refusal == *"MAINPR~1.DLL' could be the short name of '"* ]] ||
  fail "the native packer did not refuse the alias: $native_status, $native_refusal"
[[ $windows_status -eq 1 && "$(sed 's/Z://g; s/\\/\//g' <<<"$windows_refusal")" == "$native_refusal" ]] ||
  fail "the packers refuse the alias differently: '$native_refusal', '$windows_refusal'"

# With a temp directory of its own: tests running meanwhile watch the
# shared one.
mkdir -p "$work/temp"
set +e
run="$("$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$work/temp")" \
  "$(windows_path "$work/native.exe")" --exit 5 2>&1)"
status=$?
set -e
[[ $status -eq 5 ]] || fail "the package exited with $status: $run"
grep -q 'note.txt (8 bytes)' <<<"$run" || fail "the nested file was not unpacked: $run"
grep -q 'sample_app: returning 5' <<<"$run" || fail "the sample did not run: $run"

# Linux packages: the same bytes from both packers, with and without
# --cache. The Windows packer has no execute bit to read and marks the files
# that start as programs do ("#!", ELF), so the tree's executable files are
# exactly those. A name that could be another's short name is no alias on
# Linux: both pack it. With the Linux launcher beside both packers
# (scripts/build puts it there), both take it by default too.
tree="$work/linux-tree"
mkdir -p "$tree/bin" "$tree/data" "$tree/données/été"
cp /bin/true "$tree/main.so"
printf '#!/bin/sh\necho tool\n' >"$tree/bin/tool"
chmod 0755 "$tree/main.so" "$tree/bin/tool"
seq 1 300000 >"$tree/data/numbers.txt"
: >"$tree/data/empty"
printf 'long\n' >"$tree/data/longname.text"
printf 'alias\n' >"$tree/data/LONGNA~1.TEX"
printf 'accents\n' >"$tree/données/été/note.txt"
chmod 0644 "$tree/data/numbers.txt" "$tree/data/empty" "$tree/data/longname.text" \
  "$tree/data/LONGNA~1.TEX" "$tree/données/été/note.txt"
launcher="$work/linux-launcher"
cp /bin/true "$launcher"

# pack_linux NAME LAUNCHER OPTIONS...: the same package from both packers,
# from LAUNCHER ("default": the one beside each packer), compared.
pack_linux() {
  local name="$1" from="$2"
  shift 2
  local native_launcher=() windows_launcher=()
  if [[ $from != default ]]; then
    native_launcher=(--launcher "$from")
    windows_launcher=(--launcher "$(windows_path "$from")")
  fi
  "$native" --linux "${native_launcher[@]}" --main main.so --quiet "$@" \
    --output "$work/native-linux-$name" "$tree"
  "$wine_run" "$bin/onefile-pack.exe" --linux "${windows_launcher[@]}" --main main.so --quiet "$@" \
    --output "$(windows_path "$work/windows-linux-$name")" "$(windows_path "$tree")"
  cmp "$work/native-linux-$name" "$work/windows-linux-$name" ||
    fail "the two packers wrote different Linux $name packages"
}

pack_linux plain "$launcher" --level 5 --threads 2
pack_linux cached "$launcher" --level 3 --cache --cache-location '{TEMP}\{COMPANY}\{PRODUCT}' \
  --company "Example Ltd" --product Sample --file-version 1.2.3

"$native" --list "$work/native-linux-plain" >"$work/native-linux.list"
"$wine_run" "$bin/onefile-pack.exe" --list "$(windows_path "$work/windows-linux-plain")" \
  >"$work/windows-linux.list"
cmp "$work/native-linux.list" "$work/windows-linux.list" ||
  fail "the two packers list the Linux package differently"
expected='linux
'"$(stat -c %s /bin/true)"' main.so*
'"$(stat -c %s "$tree/bin/tool")"' bin\tool*
6 data\LONGNA~1.TEX
0 data\empty
5 data\longname.text
'"$(stat -c %s "$tree/data/numbers.txt")"' data\numbers.txt
8 données\été\note.txt'
[[ "$(cat "$work/native-linux.list")" == "$expected" ]] ||
  fail "the listing is not the tree's: $(cat "$work/native-linux.list")"

for package in "$work/native-linux-plain" "$work/native-linux-cached"; do
  readelf -S -W "$package" >"$work/sections" 2>"$work/readelf.err" ||
    fail "readelf fails on $package"
  [[ -s $work/readelf.err ]] && fail "readelf complains: $(cat "$work/readelf.err")"
done
grep -q ' \.onefile_cache ' "$work/sections" || fail "the cached package has no cache section"

if [[ -x $bin/corvellinth && -x "$(dirname "$native")/corvellinth" ]]; then
  pack_linux default default --level 1
else
  echo "note: no Linux launcher beside the packers yet; the default launcher is not compared"
fi

finish "both packers agree and the packages check out"
