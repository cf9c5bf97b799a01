#!/usr/bin/env bash
# check_headers.sh EXE windowed|console
# Checks a launcher's PE header with the cross objdump: 64-bit image of the
# GUI (windowed) or console subsystem, subsystem version 5.2, ASLR with
# high-entropy addressing, NX, 2 MiB stack, size.
set -euo pipefail
exe="$1"
kind="$2"
header="$(x86_64-w64-mingw32-objdump -p "$exe")"
failures=0
expect() {
  if ! grep -Eq "$1" <<<"$header"; then
    echo "FAIL: no line matching '$1'"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}
expect '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)'
case "$kind" in
  windowed) expect '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' ;;
  console) expect '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' ;;
  *) echo "check_headers: windowed or console, not '$kind'" >&2; exit 2 ;;
esac
expect '^MajorSubsystemVersion[[:space:]]+5$'
expect '^MinorSubsystemVersion[[:space:]]+2$'
expect '^SizeOfStackReserve[[:space:]]+0+200000$'
expect 'HIGH_ENTROPY_VA'
expect 'DYNAMIC_BASE'
expect 'NX_COMPAT'
# The launcher links no C++ runtime DLLs: only system libraries.
imports="$(grep -E '^[[:space:]]*DLL Name:' <<<"$header" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')"
echo "imports: $imports"
for dll in $imports; do
  case "$dll" in
    kernel32.dll | shell32.dll | msvcrt.dll | user32.dll | advapi32.dll) ;;
    api-ms-win-*) ;;
    *) echo "FAIL: unexpected import $dll"; failures=$((failures + 1)) ;;
  esac
done
size=$(stat -c %s "$exe")
limit=$((160 * 1024))
echo "size: $size bytes (limit $limit)"
if ((size >= limit)); then
  echo "FAIL: launcher is $size bytes, limit $limit"
  failures=$((failures + 1))
fi
if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "all header checks passed"
