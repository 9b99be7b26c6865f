# The checks of the shell tests that scripts/test judges by their counts: sourced after $work
# (a scratch folder) is set. Each check prints "ok" or "FAIL" with its name, and what its
# command printed when it failed.
passed=0 failed=0

check() {  # name, then a command that succeeds when the check holds
  local name=$1; shift
  if "$@" >"$work/check.log" 2>&1; then
    echo "ok   $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; sed 's/^/  /' "$work/check.log"; failed=$((failed + 1))
  fi
}
same() {  # expected actual
  [ "$1" = "$2" ] || { diff <(echo "$1") <(echo "$2"); return 1; }
}
