# Shared by the test scripts that drive a host: sourced, it gives `check` (runs a command, notes
# a failure in `fail` with its message) and `winpath` (a Linux path as Wine's drive Z: names it).
fail=0
check() {  # MESSAGE COMMAND...
  local message=$1
  shift
  if ! "$@"; then
    echo "FAIL: $message"
    fail=1
  fi
}
winpath() { echo "Z:$1" | tr / '\\'; }
