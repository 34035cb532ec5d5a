# Check reporting shared by the end-to-end scripts: one "ok N - what" or "not ok N - what" line
# per check, counted for the closing "1..N" line and the exit status.
# shellcheck shell=bash

failures=0
checks=0
ok() {
  checks=$((checks + 1))
  echo "ok $checks - $*"
}
not_ok() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "not ok $checks - $*"
}
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else not_ok "$what"; fi
}
