#!/usr/bin/env bash
# vantrel.exe under Wine, through the registered component, on the virtual CM17A: each command
# form arrives as its frames in order, and bad input sends nothing.
# usage: vantrel_exe_test.sh CM17A PREFIX WINE_RUN VANTREL_EXE
set -uo pipefail
cm17a=$1 prefix=$2 wine_run=$3 exe=$4
passed=0 failed=0

# What the CM17A received, one command a line, and vantrel's exit status last.
received() {
  local out status
  out=$("$cm17a" run --prefix "$prefix" --port com5 -- "$wine_run" "$exe" "$@" --port COM5 \
          --clock-rate 0 --reset 0 --standby 0 --gap 0 2>&1)
  status=$?
  out=${out//$'\r'/}
  sed -nE 's/^CM17A received: ([^(]*[^ (]).*$/\1/p' <<<"$out" | paste -sd, -
  echo "exit $status"
  grep -E '^vantrel: ' <<<"$out"
}

expect() {  # expected-output -- args...
  local want=$1; shift 2
  local got
  got=$(received "$@")
  if [ "$got" = "$want" ]; then
    echo "ok   vantrel $*"; passed=$((passed + 1))
  else
    printf 'FAIL vantrel %s\n  expected: %s\n  got:      %s\n' "$*" "${want//$'\n'/ | }" \
      "${got//$'\n'/ | }"
    failed=$((failed + 1))
  fi
}

expect $'E1 ON\nexit 0' -- E1 on
expect $'P16 OFF\nexit 0' -- p16 off
expect $'E1 OFF,E3 OFF,E4 OFF,E5 OFF\nexit 0' -- E1,E3-5 off
expect $'E BRIGHT,E BRIGHT\nexit 0' -- bright E 2
expect $'K DIM\nexit 0' -- dim k
expect $'A2 ON,A2 ON\nexit 0' -- --repeat 2 A2 on
expect $'nothing\nexit 2\nvantrel: can\'t find switch [Q1]' -- Q1 on
expect $'nothing\nexit 2\nvantrel: reversed range [E5-3]' -- E5-3 off
expect $'nothing\nexit 2\nvantrel: mqtt is not available on Windows: no MQTT client library is packaged for this build; run the bridge with vantrel on Linux' -- mqtt --config mqtt.yaml

# The gap: the second frame's port opens no sooner than 300 ms after the first frame's last
# line write, as the trace times them.
trace=$(mktemp)
"$cm17a" run --prefix "$prefix" --port com5 --trace "$trace" --quiet -- "$wine_run" "$exe" \
  --port COM5 --clock-rate 0 --reset 0 --standby 0 --gap 300 E1,E2 on >/dev/null 2>&1
gap=$(awk '$3 == "CLOSE" { closed = 1; next }
           closed { print int(($2 - last) / 1000000); exit }
           { last = $2 }' "$trace")
rm -f "$trace"
if [ -n "$gap" ] && [ "$gap" -ge 300 ]; then
  echo "ok   vantrel --gap 300 E1,E2 on: $gap ms between the frames"; passed=$((passed + 1))
else
  echo "FAIL vantrel --gap 300 E1,E2 on: ${gap:-no second frame} ms between the frames"
  failed=$((failed + 1))
fi

echo "vantrel.exe: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
