# Counted checks for the shell test scripts; source it from bash.
#   check <description> <command...>   runs the command; a failure is counted and named
#   checks_done                         prints "N passed, N failed"; status 0 when none failed

passed=0
failed=0

check() {
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
  fi
}

checks_done() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
