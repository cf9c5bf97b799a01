#!/usr/bin/env bash
# cache_location.sh WINE_RUN BIN_DIR
# A cached package (onefile-pack --cache, the default location under
# {CACHE_DIR}) whose cache folder is on a read-only file system, then on
# one too small for it (4 MiB of tmpfs, more than 6 MiB of incompressible
# data): both runs must succeed through a run directory in the temp
# directory, as a package without a cache runs, and leave nothing in the
# cache folder or the temp directory. The runs get a temp directory of their
# own, so that tests running meanwhile never see their run directories.
# Needs root for the mounts; exits 77 (skipped) without them.
set -euo pipefail
wine_run="$1"
bin="$2"

work="$(mktemp -d /tmp/corv-cache-location.XXXXXX)"
product="CacheLocationTest$$"
local_appdata="$("$wine_run" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')"
folder="$("$wine_run" winepath -u "$local_appdata" | tr -d '\r')/CorvellinthOnefile/$product"
cleanup() {
  umount "$folder" 2>/dev/null || true
  rmdir "$folder" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$work/app" "$work/temp" "$folder"
cp "$bin/testapp.dll" "$work/app/main.dll"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$work/app/incompressible.bin"
"$wine_run" "$bin/onefile-pack.exe" --main main.dll --output "$(windows_path "$work/app.exe")" \
  --cache --product "$product" --level 1 --threads 1 --quiet "$(windows_path "$work/app")"

for kind in read-only full; do
  options=size=4m
  [[ $kind == read-only ]] && options=ro,size=1m
  if ! mount -t tmpfs -o "$options" tmpfs "$folder" 2>/dev/null; then
    echo "cache_location: cannot mount a tmpfs here, skipped"
    exit 77
  fi
  status=0
  "$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$work/temp")" \
    "$(windows_path "$work/app.exe")" env hashes >"$work/out" 2>"$work/err" || status=$?
  module="$(tr -d '\r' <"$work/out" | sed -n 's/^module=//p')"
  if [[ $status -ne 0 ]] || [[ $module != *'\CorvellinthOnefile\onefile_'*'\main.dll' ]] ||
    ! grep -q '^hash incompressible.bin 6291456 ' "$work/out"; then
    echo "cache_location ($kind): exit code $status, expected 0 and a run directory" >&2
    echo "standard output:" >&2; cat "$work/out" >&2
    echo "standard error:" >&2; cat "$work/err" >&2
    exit 1
  fi
  left="$(find "$folder" -mindepth 1)"
  run="$("$wine_run" winepath -u "${module%\\main.dll}" | tr -d '\r')"
  if [[ -n $left ]] || [[ -e $run ]]; then
    echo "cache_location ($kind): the run left behind:" >&2
    echo "$left $run" >&2
    exit 1
  fi
  umount "$folder"
  echo "cache_location ($kind): ran from $module"
done
