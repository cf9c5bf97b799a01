# Sourced by the test scripts that run the packers and their packages: a
# work folder ($work) removed at the end, failures counted, Linux paths as
# Wine's Z: paths, and the script's end.
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
# Exits 1 naming the number of failures, or 0 with the message given.
finish() {
  if ((failures)); then
    echo "$failures failed"
    exit 1
  fi
  echo "$1"
}
