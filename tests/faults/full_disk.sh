#!/usr/bin/env bash
# full_disk.sh WINE_RUN BIN_DIR [--windowed | --console]
# A temp directory on a small file system that the package does not fit
# (4 MiB of tmpfs): once with more than 6 MiB of incompressible data, once
# with a decompression bomb (256 MiB of zeros, a few KiB packed). The
# launcher must stop with "Error, couldn't unpack file to target path." and
# exit code 2, and leave no run directory behind.
# Needs root for the mount; exits 77 (skipped) without it.
set -euo pipefail
wine_run="$1"
bin="$2"
launcher="${3:---windowed}"

work="$(mktemp -d /tmp/corv-full-disk.XXXXXX)"
small="$work/small"
cleanup() {
  umount "$small" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# pack NAME: packs $work/NAME (main.dll and whatever is there) into $work/NAME.exe.
pack() {
  cp "$bin/testapp.dll" "$work/$1/main.dll"
  "$wine_run" "$bin/onefile-pack.exe" "$launcher" --main main.dll \
    --output "$(windows_path "$work/$1.exe")" --level 1 --threads 1 --quiet "$(windows_path "$work/$1")"
}
mkdir -p "$work/random" "$work/bomb" "$small"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$work/random/incompressible.bin"
head -c $((256 * 1024 * 1024)) /dev/zero >"$work/bomb/zeros.bin"
pack random
pack bomb
rm -f "$work/bomb/zeros.bin"

if ! mount -t tmpfs -o size=4m tmpfs "$small" 2>/dev/null; then
  echo "full_disk: cannot mount a tmpfs here, skipped"
  exit 77
fi
expected="Error, couldn't unpack file to target path. ([Error "
for package in random bomb; do
  status=0
  "$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$small")" \
    "$(windows_path "$work/$package.exe")" exit 0 >"$work/out" 2>"$work/err" || status=$?
  if [[ $status -ne 2 ]] || [[ "$(head -c ${#expected} "$work/err")" != "$expected" ]]; then
    echo "full_disk ($package): exit code $status, expected 2 and '$expected...'" >&2
    echo "standard output:" >&2; cat "$work/out" >&2
    echo "standard error:" >&2; cat "$work/err" >&2
    exit 1
  fi
  # The failed run takes its directory with it; only the shared parent stays.
  left="$(find "$small/CorvellinthOnefile" -mindepth 1 2>/dev/null || true)"
  if [[ -n "$left" ]]; then
    echo "full_disk ($package): the run left behind:" >&2
    echo "$left" >&2
    exit 1
  fi
  echo "full_disk ($package): $(tr -d '\r' <"$work/err" | head -n 1)"
done
