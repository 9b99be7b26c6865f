#!/usr/bin/env bash
# cm17a run stopped by a signal: its command is stopped with the same signal, and the port
# mapping, the pty, the helper process and the control file are all gone afterwards.
# usage: cm17a_run_test.sh CM17A
set -uo pipefail
set -m  # background jobs keep SIGINT, as they do from a terminal
cm17a=$1
passed=0 failed=0
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

echo "cm17a: 3 checks planned"
for sig in INT TERM HUP; do
  controls=$(ls /tmp | grep -c '^cm17a-control-')
  "$cm17a" run --link "$dir/port" --quiet -- sleep 60 &
  pid=$!
  for _ in $(seq 1000); do [ -L "$dir/port" ] && break; sleep 0.01; done
  pty=$(readlink "$dir/port")
  kill -"$sig" "$pid"
  wait "$pid"
  status=$?
  left=$(pgrep -f -- "--link $dir/port" | wc -l)
  why=""
  [ "$status" -eq $((128 + $(kill -l "$sig"))) ] || why+=" exit status $status;"
  [ -e "$dir/port" ] || [ -L "$dir/port" ] && why+=" the mapping is left;"
  [ -n "$pty" ] && [ -e "$pty" ] && why+=" $pty is left;"
  [ "$left" -eq 0 ] || why+=" $left of its processes are left;"
  [ "$(ls /tmp | grep -c '^cm17a-control-')" -le "$controls" ] || why+=" a control file is left;"
  if [ -z "$why" ]; then
    echo "ok   SIG$sig: nothing left"; passed=$((passed + 1))
  else
    echo "FAIL SIG$sig:$why"; failed=$((failed + 1))
    pkill -KILL -f -- "--link $dir/port"
  fi
  rm -f "$dir/port"
done

echo "cm17a: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
