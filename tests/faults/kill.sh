#!/usr/bin/env bash
# kill.sh WINE_RUN BIN_DIR [--windowed | --console]
# The parent's Wine process killed from Linux with kill -9, once while the
# application runs and once while the parent unpacks. The application must
# end with its parent, and the next start of another packaged application
# must remove what the killed run left in the shared temp directory.
set -euo pipefail
wine_run="$1"
bin="$2"
launcher="${3:---windowed}"

work="$(mktemp -d /tmp/corv-kill.XXXXXX)"
# Every launcher of this script carries the tag as an (ignored) argument, so
# its Linux process can be told from all others by its command line.
tag="corv-kill-tag-$$-$RANDOM"
cleanup() {
  # A failed run may leave its application sleeping: end those, by id.
  for pid in $(tagged); do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# What the command line of a launcher of this script starts with.
packages="$(windows_path "$work")\\"
fail() {
  echo "kill: $*" >&2
  exit 1
}

# The Linux ids of the launchers that carry the tag: their command line
# starts with a package's path in the work directory (run_with_temp's, which
# carries the tag too, starts with its own; ended processes have none). One
# grep over every command line, its pattern written so that it does not
# match its own; each line it finds is read once more and judged on that
# reading alone, since a process that starts rewrites its own.
tagged() {
  local file command
  for file in $(grep -lsa -- "[${tag:0:1}]${tag:1}" /proc/[0-9]*/cmdline); do
    command="$(tr '\0' ' ' <"$file" 2>/dev/null || true)"
    if [[ $command == "$packages"* && $command == *"$tag"* ]]; then
      file="${file#/proc/}"
      echo "${file%/cmdline}"
    fi
  done
}
# Sets parent once exactly one launcher carries the tag (a command line
# read while its process starts can be empty).
find_parent() {
  parent="$(tagged)"
  [[ $parent =~ ^[0-9]+$ ]]
}
# The child has the application's main file mapped; the parent never has.
is_child() { grep -q 'main\.dll' "/proc/$1/maps" 2>/dev/null; }
state_of() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1; }
has_ended() { [[ ! -e /proc/$1 ]] || [[ "$(state_of "$1")" == Z ]]; }
is_stopped() { [[ "$(state_of "$1")" == T ]]; }
# poll SECONDS COMMAND...: runs COMMAND every 0.05 s until it succeeds.
poll() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}
exists() { compgen -G "$1" >/dev/null; }
runs_left() { find "$temp/CorvellinthOnefile" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# pack NAME: packs $work/NAME (main.dll and whatever is there) into $work/NAME.exe.
pack() {
  mkdir -p "$work/$1"
  cp "$bin/testapp.dll" "$work/$1/main.dll"
  "$wine_run" "$bin/onefile-pack.exe" "$launcher" --main main.dll \
    --output "$(windows_path "$work/$1.exe")" --level 1 --threads 1 --quiet "$(windows_path "$work/$1")"
}
# launch EXE ARGS...: starts EXE in the background with the private temp directory.
launch() {
  local exe="$1"
  shift
  "$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$temp")" "$(windows_path "$work/$exe")" \
    "$@" "$tag" >>"$work/out" 2>&1 &
  background=$!
}
start_other() {
  "$wine_run" "$bin/run_with_temp.exe" "$(windows_path "$temp")" \
    "$(windows_path "$work/other.exe")" exit 0 >>"$work/out" 2>&1 || fail "the next start failed"
}

mkdir -p "$work/app/data" "$work/other" "$work/many"
echo hello >"$work/app/data/hello.txt"
for index in $(seq 1 3000); do echo "$index" >"$work/many/f$index.txt"; done
pack app
pack other
pack many
temp="$work/temp"
mkdir -p "$temp"

# 1. While the application runs.
launch app.exe mark "$(windows_path "$work/child.pid")" sleep 60000
poll 60 test -s "$work/child.pid" || fail "the application did not start"
parent=""
child=""
for pid in $(tagged); do
  if is_child "$pid"; then child="$pid"; else parent="$pid"; fi
done
[[ -n $parent && -n $child ]] || fail "cannot tell the parent ($parent) from the child ($child)"
kill -9 "$parent"
poll 30 has_ended "$child" || fail "the application outlived its killed parent by 30 s"
wait "$background" || true
(($(runs_left) == 1)) || fail "the killed run left $(runs_left) directories, expected its own"
start_other
(($(runs_left) == 0)) || fail "the next start left $(runs_left) directories"
echo "kill: the application ended with its parent; the next start removed the directory"

# hold_unpacking PID: stops the parent (SIGSTOP) and looks at its run
# directory only while it is stopped, letting it go on for a moment at a
# time, until its first file (the main DLL) is there. It returns with the
# parent stopped at that point, which it cannot leave by itself.
hold_unpacking() {
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    kill -STOP "$1"
    poll 10 is_stopped "$1" || return 1
    exists "$temp/CorvellinthOnefile/onefile_*/main.dll" && return 0
    kill -CONT "$1"
    sleep 0.01
  done
  return 1
}

# 2. While the parent unpacks: held where its first file exists and its
# child has not started, then killed.
rm -f "$work/child.pid"
launch many.exe mark "$(windows_path "$work/child.pid")"
poll 60 find_parent || fail "the parent did not start"
hold_unpacking "$parent" || fail "the unpacking did not start"
[[ $(tagged) == "$parent" && ! -e $work/child.pid ]] || fail "the child had started when the parent \
($parent) was held: $(tagged), $(cat "$work/child.pid" 2>/dev/null || echo no mark)"
kill -9 "$parent"
wait "$background" || true
[[ ! -e $work/child.pid ]] || fail "the application ran after its parent was killed"
written="$(find "$temp/CorvellinthOnefile" -type f | wc -l)"
((written < 3001)) || fail "all $written files were written before the kill"
start_other
(($(runs_left) == 0)) || fail "the next start left $(runs_left) directories"
echo "kill: killed after $written of 3001 files; the next start removed them"
