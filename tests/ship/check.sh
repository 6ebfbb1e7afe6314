# Sourced by the ship tests: `check NAME COMMAND...` counts one expectation; `finish` reports.
passed=0
failed=0
check() { # name, then a command that must succeed
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit
}
