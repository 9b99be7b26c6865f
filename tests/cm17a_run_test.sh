#!/usr/bin/env bash
# cm17a run stopped by a signal: its command is stopped with the same signal, and the command,
# the port mapping, the pty, the helper process and the run's folder (trace and control file)
# are all gone afterwards. As root, also: a command that drops to another user, as a trial of
# the service does, still has its line writes recorded.
# usage: cm17a_run_test.sh CM17A VANTREL
set -uo pipefail
set -m  # background jobs keep SIGINT, as they do from a terminal
cm17a=$1 vantrel=$2
passed=0 failed=0
dir=$(mktemp -d)
chmod 755 "$dir"  # reachable for the unprivileged run
trap 'rm -rf "$dir"' EXIT
verdict() {  # description, then what went wrong (nothing: the check holds)
  if [ -z "$2" ]; then
    echo "ok   $1"; passed=$((passed + 1))
  else
    echo "FAIL $1:$2"; failed=$((failed + 1))
  fi
}

planned=3
[ "$(id -u)" -eq 0 ] && planned=4
echo "cm17a: $planned checks planned"
for sig in INT TERM HUP; do
  rm -f "$dir/command"
  # The command tells its pid and the run's folder, then becomes what cm17a waits for.
  "$cm17a" run --link "$dir/port" --quiet -- sh -c \
    'echo "$$ ${CM17A_CONTROL%/*}" >"$1.new" && mv "$1.new" "$1" && exec sleep 60' sh "$dir/command" &
  pid=$!
  for _ in $(seq 1000); do [ -s "$dir/command" ] && break; sleep 0.01; done
  command="" folder=""
  [ -s "$dir/command" ] && read -r command folder <"$dir/command"
  # Another program may get the same pty number soon after: its change time tells them apart.
  pty=$(readlink "$dir/port") made=$(stat -c %z "$pty")
  kill -"$sig" "$pid"
  wait "$pid"
  status=$?
  left=$(pgrep -f -- "--link $dir/port" | wc -l)
  why=""
  [ -n "$command" ] || why+=" the command did not start;"
  [ "$status" -eq $((128 + $(kill -l "$sig"))) ] || why+=" exit status $status;"
  [ -n "$command" ] && kill -0 "$command" 2>/dev/null && why+=" the command ($command) is left;"
  [ -e "$dir/port" ] || [ -L "$dir/port" ] && why+=" the mapping is left;"
  [ -n "$pty" ] && [ "$(stat -c %z "$pty" 2>/dev/null)" = "$made" ] && why+=" $pty is left;"
  [ "$left" -eq 0 ] || why+=" $left of its processes are left;"
  [ -n "$folder" ] && [ -e "$folder" ] && why+=" $folder is left;"
  verdict "SIG$sig: nothing left" "$why"
  if [ -n "$why" ]; then
    pkill -KILL -f -- "--link $dir/port"
    [ -z "$command" ] || kill -KILL "$command" 2>/dev/null
  fi
  rm -f "$dir/port"
done

if [ "$planned" -eq 4 ]; then
  # The pty is root's alone: the command hands it on before it drops to nobody.
  mkdir -m 1777 "$dir/locks"
  report=$(VANTREL_LOCK_DIR=$dir/locks "$cm17a" run --link "$dir/port" -- sh -c \
    'chmod 666 "$CM17A_PTY" && exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"' \
    sh "$vantrel" --port "$dir/port" --clock-rate 0 --reset 0 --standby 0 --gap 0 E1 on 2>&1)
  why=""
  grep -q '^CM17A received: E1 ON ' <<<"$report" || why=" got: $report"
  verdict "a command run as nobody is recorded" "$why"
else
  echo "skip a command run as nobody: this test does not run as root"
fi

echo "cm17a: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -eq "$planned" ]
