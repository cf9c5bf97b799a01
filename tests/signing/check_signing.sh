#!/usr/bin/env bash
# check_signing.sh WINE_RUN BIN NATIVE_PACKER
# Packages and code signing, with a code-signing certificate made here:
#  - a package signed with osslsigncode verifies and runs under Wine as the
#    unsigned one does;
#  - packed from a signed launcher, a package keeps none of the signature
#    (one warning line, no certificate directory, its own checksum) and is
#    the very package that the unsigned launcher gives;
#  - --sign-command with osslsigncode signs the DLL inside (its unpacked
#    copy verifies) and the package, which runs;
#  - the Windows packer's --sign-command, run by cmd.exe (which under Wine
#    cannot start a Linux program, so a Windows stand-in signs), hands the
#    command the same bytes in the same order as the native one and writes
#    the same package; a failing command ends it with the entry named.
set -euo pipefail
wine_run="$1" bin="$2" native="$3"
for tool in openssl osslsigncode; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/setup installs it)"
    exit 77
  fi
done
if [[ ! -x $native ]]; then
  echo "SKIP: no native packer at $native (cmake --preset host && cmake --build --preset host)"
  exit 77
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../support/script_checks.sh"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvellinth test signer" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
sign_command="osslsigncode sign -certs $work/cert.pem -key $work/key.pem -n Corvellinth"
verify() {
  osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1 ||
    { fail "$1 does not verify: $(tail -n 3 "$work/verify.log")"; return 1; }
}
# The package's run, with a temp directory of its own, with what names the
# run (process id, start time) left out.
run_package() {
  local temp="$work/temp-$(basename "$1")"
  mkdir -p "$temp"
  set +e
  "$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$temp")" "$(windows_path "$1")" \
    one "with a blank" --exit 5 2>&1 | tr -d '\r' | grep -v -e ONEFILE_PARENT= -e ONEFILE_START= |
    sed 's/onefile_[0-9]*_[0-9]*/onefile_<run>/g'
  echo "exit ${PIPESTATUS[0]}"
  set -e
}

tree="$work/tree"
cp -r "$bin/../sample_app" "$tree"
mkdir -p "$tree/tools"
cp "$bin/testapp_helper.dll" "$tree/tools/helper.dll"
mkdir -p "$work/run"

# Signed after packing: verifies, and runs as the unsigned package.
"$native" --main main.dll --level 3 --quiet --output "$work/plain.exe" "$tree"
$sign_command -in "$work/plain.exe" -out "$work/signed.exe" >/dev/null
verify "$work/signed.exe" || true
cp "$work/plain.exe" "$work/run/app.exe"
unsigned_run="$(run_package "$work/run/app.exe")"
cp "$work/signed.exe" "$work/run/app.exe"
signed_run="$(run_package "$work/run/app.exe")"
grep -q 'sample_app: returning 5' <<<"$unsigned_run" || fail "the package did not run: $unsigned_run"
[[ $signed_run == "$unsigned_run" ]] ||
  fail "the signed package ran otherwise: $(diff <(echo "$unsigned_run") <(echo "$signed_run"))"

# A signed launcher: its signature is left out, with one line saying so.
cp "$bin/Corvellinth.exe" "$work/launcher.exe"
$sign_command -in "$work/launcher.exe" -out "$work/signed-launcher.exe" >/dev/null
"$native" --main main.dll --level 3 --quiet --launcher "$work/launcher.exe" \
  --output "$work/from-plain.exe" "$tree"
"$native" --main main.dll --level 3 --quiet --launcher "$work/signed-launcher.exe" \
  --output "$work/from-signed.exe" "$tree" 2>"$work/warning.txt"
[[ "$(cat "$work/warning.txt")" == "onefile-pack: warning: the launcher '$work/signed-launcher.exe' is signed: "* &&
  $(wc -l <"$work/warning.txt") -eq 1 ]] || fail "no one-line warning: $(cat "$work/warning.txt")"
cmp -s "$work/from-plain.exe" "$work/from-signed.exe" ||
  fail "the package from the signed launcher differs from the one from the plain launcher"
header="$(x86_64-w64-mingw32-objdump -p "$work/from-signed.exe")"
grep -Eq '^Entry 4 0+ 0+ Security Directory' <<<"$header" ||
  fail "a certificate directory is left: $(grep 'Entry 4' <<<"$header")"
checksum=$(awk '$1 == "CheckSum" {print $2}' <<<"$header")
[[ "$(python3 "$here/../pe/checksum.py" "$work/from-signed.exe")" == "$checksum" ]] ||
  fail "CheckSum $checksum is not the package's checksum"

# --sign-command: the DLLs inside and the package signed; a cached package
# keeps its unpacked copy, whose DLL must verify.
"$native" --main main.dll --level 3 --quiet --cache --cache-location '{TEMP}\signed' \
  --sign-command "$sign_command -in {in} -out {out} >/dev/null" \
  --output "$work/inner.exe" "$tree"
verify "$work/inner.exe" || true
inner_run="$(run_package "$work/inner.exe")"
grep -q '^exit 5$' <<<"$inner_run" || fail "the package signed inside did not run: $inner_run"
copies=("$work"/temp-inner.exe/signed/*/)
if [[ -f ${copies[0]}main.dll ]]; then
  verify "${copies[0]}main.dll" || true
  verify "${copies[0]}tools/helper.dll" || true
else
  fail "no unpacked copy to check: $(ls -R "$work/temp-inner.exe")"
fi

# Both packers hand the command the same bytes and write the same package.
stand_in="$(windows_path "$bin/sign_stand_in.exe")"
mkdir -p "$work/out dir"
: >"$work/native.record"
: >"$work/windows.record"
"$native" --main main.dll --level 3 --quiet --output "$work/out dir/native.exe" \
  --sign-command "cat {in} >>'$work/native.record' && cp {in} {out} && printf signed >>{out}" \
  "$tree"
"$wine_run" "$bin/onefile-pack.exe" --main main.dll --level 3 --quiet \
  --output "$(windows_path "$work/out dir/windows.exe")" \
  --sign-command "$stand_in \"$(windows_path "$work/windows.record")\" {in} {out}" \
  "$(windows_path "$tree")"
cmp -s "$work/native.record" "$work/windows.record" ||
  fail "the packers handed the command different bytes"
expected=$(($(stat -c %s "$tree/main.dll") + $(stat -c %s "$tree/tools/helper.dll")))
expected=$((expected + $(stat -c %s "$work/out dir/native.exe") - 6))
[[ $(stat -c %s "$work/native.record") -eq $expected ]] ||
  fail "the command was handed $(stat -c %s "$work/native.record") bytes, not $expected"
cmp -s "$work/out dir/native.exe" "$work/out dir/windows.exe" ||
  fail "the packers wrote different signed packages"

# A failing command names the entry, and nothing is left.
set +e
message="$("$wine_run" "$bin/onefile-pack.exe" --main main.dll --level 1 --quiet \
  --output "$(windows_path "$work/out dir/failed.exe")" \
  --sign-command "exit /b 3 & rem {in} {out}" "$(windows_path "$tree")" 2>&1)"
status=$?
set -e
[[ $status -eq 1 && $message == "onefile-pack: the sign command failed for entry 'main.dll': it ended with exit code 3"* ]] ||
  fail "a failing command under cmd.exe: $status, $message"
[[ "$(ls "$work/out dir")" == $'native.exe\nwindows.exe' ]] ||
  fail "files left behind: $(ls "$work/out dir")"

finish "signed packages verify and run, and both packers sign alike"
