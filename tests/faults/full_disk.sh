#!/usr/bin/env bash
# full_disk.sh WINE_RUN BIN_DIR
# A temp directory on a small file system that the package does not fit
# (4 MiB of tmpfs, more than 6 MiB of incompressible data): the launcher must
# stop with "Error, couldn't unpack file to target path." and exit code 2.
# Needs root for the mount; exits 77 (skipped) without it.
set -euo pipefail
wine_run="$1"
bin="$2"

work="$(mktemp -d /tmp/corv-full-disk.XXXXXX)"
small="$work/small"
cleanup() {
  umount "$small" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$work/app" "$small"
cp "$bin/testapp.dll" "$work/app/main.dll"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$work/app/incompressible.bin"
"$wine_run" "$bin/onefile-pack.exe" --main main.dll --output "$(windows_path "$work/app.exe")" \
  --level 1 --threads 1 --quiet "$(windows_path "$work/app")"

if ! mount -t tmpfs -o size=4m tmpfs "$small" 2>/dev/null; then
  echo "full_disk: cannot mount a tmpfs here, skipped"
  exit 77
fi
status=0
"$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$small")" "$(windows_path "$work/app.exe")" \
  exit 0 >"$work/out" 2>"$work/err" || status=$?

expected="Error, couldn't unpack file to target path. ([Error "
if [[ $status -ne 2 ]] || [[ "$(head -c ${#expected} "$work/err")" != "$expected" ]]; then
  echo "full_disk: exit code $status, expected 2 and '$expected...'" >&2
  echo "standard output:" >&2; cat "$work/out" >&2
  echo "standard error:" >&2; cat "$work/err" >&2
  exit 1
fi
# The partly filled target directory stays: a failed unpack runs no cleanup.
if [[ -z "$(find "$small/CorvellinthOnefile" -mindepth 2 -name main.dll 2>/dev/null)" ]]; then
  echo "full_disk: the partly filled target directory is missing" >&2
  exit 1
fi
echo "full_disk: $(tr -d '\r' <"$work/err" | head -n 1)"
