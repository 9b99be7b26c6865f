#!/usr/bin/env bash
# The arm64 and armhf .debs, made by CPack from the cross builds: what they hold against the
# amd64 one, their dependencies, an install into a scratch root, and the packaged program run
# under qemu-user on the virtual CM17A (its shim cross-built for the target); the arm64 bridge
# also against a mosquitto of its own, through the bridge tests. qemu is started explicitly for
# each program, so nothing is registered with binfmt_misc; the target's loader and libraries are
# the multiarch ones that scripts/setup installs. Emulated runs are slow and uneven: only
# orders, counts and lower bounds are asserted, never durations.
# usage: arm_test.sh VERSION HOST_BUILD AMD64_BUILD ARM64_BUILD ARMHF_BUILD
#   HOST_BUILD: a host build with the virtual CM17A (cm17a, its arm64 and armhf shims) and
#   bridge_test; the others: Release builds of vantrel and its man page
set -uo pipefail
version=$1 host=$2 amd64=$3
declare -A build=([arm64]=$4 [armhf]=$5)
declare -A triplet=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf)
# Each on the oldest Raspberry Pi core its package is for: the Pi 3's Cortex-A53 (arm64) and
# the Pi 2's Cortex-A7 (armhf, Debian's ARMv7 baseline).
declare -A emulator=([arm64]="qemu-aarch64-static -cpu cortex-a53"
                     [armhf]="qemu-arm-static -cpu cortex-a7")
# What file(1) says of each architecture's programs: armhf is the hard-float ABI, told by its
# loader.
declare -A machine=([arm64]='^ELF 64-bit LSB .*, ARM aarch64,'
                    [armhf]='^ELF 32-bit LSB .*, ARM, EABI5 .*interpreter /lib/ld-linux-armhf\.so\.3,')
export QEMU_LD_PREFIX=/
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/script_checks.sh"

# The arm64 bridge through three cases; the armhf one, whose 32-bit time_t and long the MQTT
# code meets too, through the commands' case.
declare -A bridge_cases=([arm64]="DiscoveryOfEveryUnitAndButtonOnlyItsOwnRemovedUnitsCleared
CommandsBecomeFramesThenRetainedStates StopSignalCutsTheFrameAndKillLeavesTheWillAndTheSession"
                         [armhf]="CommandsBecomeFramesThenRetainedStates")
echo "arm: $((2 * 8 + $(wc -w <<<"${bridge_cases[*]}"))) checks planned"

pack() {  # build-dir arch: the .deb's path
  (umask 022 && cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work/deb-$2" >"$work/cpack-$2.log" 2>&1) ||
    cat "$work/cpack-$2.log" >&2
  echo "$work/deb-$2/vantrel_${version}_$2.deb"
}
amd64_deb=$(pack "$amd64" "$(dpkg --print-architecture)")
mkdir "$work/amd64" && dpkg-deb -R "$amd64_deb" "$work/amd64" || echo "arm: no amd64 package to compare with"

# Every entry of a package, control files too, as owner, mode and path; the files compared byte
# for byte but the program and the control files that describe it.
entries() { find "$1" -printf '%u:%g %m %P\n' | sort; }
holds_what_amd64_holds() {  # unpacked package
  same "$(entries "$work/amd64")" "$(entries "$1")" || return 1
  (cd "$1" && find . -type f ! -path ./usr/bin/vantrel ! -path ./DEBIAN/md5sums \
     ! -path ./DEBIAN/control -print0 | xargs -0 -I{} cmp {} "$work/amd64/{}")
}

# Each dependency, alternatives too, is a package of the target's architecture that bookworm
# has (the apt indexes scripts/setup read), in a version that satisfies it.
dependencies_exist() {  # deb arch
  local depends alternative name op wanted shown got
  depends=$(dpkg-deb -f "$1" Depends)
  [ -n "$depends" ] || { echo "no Depends"; return 1; }
  echo "Depends: $depends"
  while read -r alternative; do
    [[ $alternative =~ ^([a-z0-9][a-z0-9.+-]+)(\ \((<<|<=|=|>=|>>)\ ([^\)]+)\))?$ ]] ||
      { echo "cannot read '$alternative'"; return 1; }
    name=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]} wanted=${BASH_REMATCH[4]}
    shown=$(apt-cache show --no-all-versions "$name:$2" 2>/dev/null) ||
      { echo "$name: no $2 package"; return 1; }
    grep -qx "Architecture: $2" <<<"$shown" || { echo "$name: not a $2 package"; return 1; }
    got=$(sed -n 's/^Version: //p' <<<"$shown")
    [ -z "$op" ] || dpkg --compare-versions "$got" "$op" "$wanted" ||
      { echo "$name:$2 $got does not satisfy $op $wanted"; return 1; }
  done < <(sed 's/ *[,|] */\n/g' <<<"$depends")
  # And apt, weighing architectures and Multi-Arch as an install on the Pi does, takes it as it
  # is, removing nothing.
  local plan
  plan=$(apt-get -s -q install "$1" 2>&1) || { echo "$plan"; return 1; }
  grep -q "^Inst vantrel:$2 " <<<"$plan" && grep -q ' 0 to remove' <<<"$plan" || { echo "$plan"; return 1; }
}

# Each library the program needs is in the multiarch folder of a package it depends on.
needed_libraries_depended_on() {  # unpacked package, deb, arch
  local names sonames soname path owner
  names=$(dpkg-deb -f "$2" Depends | sed 's/ *([^)]*)//g; s/ *[,|] */\n/g')
  sonames=$(readelf -d "$1/usr/bin/vantrel" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') &&
    [ -n "$sonames" ] || { echo "no library needed: not a dynamically linked program"; return 1; }
  while read -r soname; do
    owner=""
    for path in {/usr,}/lib/"${triplet[$3]}/$soname" /lib/"$soname"; do
      owner=$(dpkg -S "$path" 2>/dev/null | cut -d: -f1) && break
    done
    [ -n "$owner" ] || { echo "$soname: no $3 package holds it"; return 1; }
    grep -qxF "$owner" <<<"$names" || { echo "$soname ($owner) is not a dependency"; return 1; }
    echo "$soname: $owner"
  done <<<"$sonames"
}

# Installed as dpkg installs it, in a scratch root that has the target's architecture; the
# maintainer scripts run outside it with DPKG_ROOT set, as the amd64 package's test runs them.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(--force-not-root)
install_into() {  # root deb arch
  local root=$1 file
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status" &&
    dpkg --root="$root" --add-architecture "$3" &&
    dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends "${as_root[@]}" \
      -i "$2" || return 1
  for file in usr/bin/vantrel usr/share/man/man1/vantrel.1.gz etc/vantrel/mqtt.yaml \
              usr/lib/systemd/system/vantrel-mqtt.service usr/lib/sysusers.d/vantrel.conf; do
    [ -f "$root/$file" ] || { echo "/$file is missing"; return 1; }
  done
  same "install ok installed $3" "$(dpkg --root="$root" -s vantrel | sed -n 's/^\(Status\|Architecture\): //p' | paste -sd' ')" &&
    grep -Eq '^dialout:x:[0-9]+:(.*,)?vantrel(,|$)' "$root/etc/group" &&
    same "vantrel $version" "$(${emulator[$3]} "$root/usr/bin/vantrel" --version)"
}

# The line writes of one opening of the port for a 16-bit X10 code, from the CM17A protocol:
# both lines raised as the port is set up, the reset (DTR, then RTS cleared), then each of the
# 41 symbols (a blank, the header 0xD5AA, the code, the footer 0xAD): its data writes (blank:
# RTS then DTR set; 0: DTR set, RTS cleared; 1: RTS set, DTR cleared) and the return to idle
# (RTS, then DTR set); then the close.
protocol_writes() {
  local symbols=" 1101010110101010${1}10101101" i
  echo DTR+ RTS+ DTR- RTS-
  for ((i = 0; i < ${#symbols}; i++)); do
    case "${symbols:i:1}" in
      " ") echo RTS+ DTR+ ;;
      0) echo DTR+ RTS- ;;
      1) echo RTS+ DTR- ;;
    esac
    echo RTS+ DTR+
  done
  echo CLOSE
}
# The X10 codes that the CM17A protocol gives these commands: house A is 0110 in the first
# byte; units 1, 3 and 4 add 0x00, 0x08 and 0x18 to the second; DIM is 0x98 there.
received=("A1 ON 0110000000000000" "A3 ON 0110000000001000" "A4 ON 0110000000011000"
          "A DIM 0110000010011000" "A DIM 0110000010011000")
clock=2 reset=3 standby=5 gap=40
send_list_and_dim() {  # root arch: runs both commands; the trace and the report stay in $work
  VANTREL_LOCK_DIR=$work "$host/bin/cm17a" run --link "$work/port-$2" --trace "$work/trace-$2" -- sh -c \
    '"$@" A1,A3-4 on && "$@" dim A 2' sh ${emulator[$2]} "$1/usr/bin/vantrel" \
    --port "$work/port-$2" --clock-rate $clock --reset $reset --standby $standby --gap $gap \
    >"$work/report-$2" 2>&1
}
frames_exact_in_order() {  # arch
  local expected="" r
  for r in "${received[@]}"; do
    expected+="CM17A received: ${r% *}   (code ${r##* })"$'\n'
  done
  same "${expected%$'\n'}" "$(grep '^CM17A received' "$work/report-$1")" ||
    { cat "$work/report-$1"; return 1; }
  expected=$(for r in "${received[@]}"; do protocol_writes "${r##* }"; done | tr ' ' '\n')
  same "$expected" "$(awk '{ print $3 }' "$work/trace-$1")"
}
# The waits of the trace: after the reset, each symbol's two clock waits, the last one with the
# standby up to the close, and the gap from a frame's last line write to the next one's first.
waits_at_least_as_asked() {  # arch
  awk -v clock=$((clock * 1000000)) -v reset=$((reset * 1000000)) \
      -v standby=$((standby * 1000000)) -v gap=$((gap * 1000000)) '
    function short(what, took, asked) {
      printf "frame %d: %s took %d ns, asked %d\n", frames + (n == 1), what, took, asked; bad++
    }
    $3 != "CLOSE" {
      t[++n] = $2
      if (n == 1 && frames > 0 && t[1] - last < gap) short("the gap before it", t[1] - last, gap)
      next
    }
    n == 0 { next }
    {
      frames++
      if (n != 168) { printf "frame %d: %d line writes\n", frames, n; bad++ }
      if (t[5] - t[4] < reset) short("the reset", t[5] - t[4], reset)
      for (i = 6; i + 1 <= n; i += 2)
        if (t[i + 1] - t[i] < clock) short("clock wait after write " i, t[i + 1] - t[i], clock)
      if ($2 - t[n] < clock + standby) short("the standby", $2 - t[n], clock + standby)
      waits += 2 + (n - 6) / 2
      last = t[n]; n = 0
    }
    END {
      if (frames != 5) { printf "%d frames\n", frames; bad++ }
      printf "%d waits and %d gaps checked\n", waits, frames - 1
      exit bad > 0
    }' "$work/trace-$1"
}

for arch in arm64 armhf; do
  deb=$(pack "${build[$arch]}" "$arch")
  unpacked=$work/$arch root=$work/root-$arch
  mkdir "$unpacked" && dpkg-deb -R "$deb" "$unpacked"
  check "$arch: the package is vantrel_${version}_$arch.deb, of architecture $arch" \
    same "$arch" "$(dpkg-deb -f "$deb" Architecture)"
  check "$arch: it holds the amd64 package's files, conffile and maintainer scripts, the same but the program" \
    holds_what_amd64_holds "$unpacked"
  check "$arch: /usr/bin/vantrel is an $arch program" \
    grep -Eq "${machine[$arch]}" <(file -b "$unpacked/usr/bin/vantrel")
  check "$arch: each dependency is an $arch package of bookworm that satisfies it" \
    dependencies_exist "$deb" "$arch"
  check "$arch: each library the program needs comes from a dependency" \
    needed_libraries_depended_on "$unpacked" "$deb" "$arch"
  check "$arch: dpkg --root installs it where the README says, and the program runs under ${emulator[$arch]}" \
    install_into "$root" "$deb" "$arch"
  send_list_and_dim "$root" "$arch"
  check "$arch: 'A1,A3-4 on' and 'dim A 2' reach the virtual CM17A as five frames in order, each exactly the protocol's line writes" \
    frames_exact_in_order "$arch"
  check "$arch: every wait at least as asked, and the gap between frames" \
    waits_at_least_as_asked "$arch"
done

# The bridge tests' own cases, with the packaged ARM bridge in place of the host's: a wrapper
# starts it under qemu and counts its starts, so that a case that ran the host's program fails.
bridge_case() {  # arch name
  local wrapper=$work/vantrel-$1 starts status
  printf '#!/bin/sh\necho >>"%s.starts"\nexec %s "%s" "$@"\n' "$wrapper" "${emulator[$1]}" \
    "$work/root-$1/usr/bin/vantrel" >"$wrapper"
  chmod 755 "$wrapper"
  rm -f "$wrapper.starts"
  VANTREL_UNDER_TEST=$wrapper ASAN_OPTIONS=verify_asan_link_order=0 "$host/bin/cm17a" run \
    --link "$host/tests/cm17a-bridge_test-port" --quiet -- "$host/bin/bridge_test" \
    --gtest_filter="Bridge.$2" >"$work/bridge.log" 2>&1
  status=$?
  tail -n 30 "$work/bridge.log"
  starts=$(wc -l <"$wrapper.starts" 2>/dev/null || echo 0)
  echo "the $1 bridge started $starts times"
  [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test\.$' "$work/bridge.log" && [ "$starts" -gt 0 ]
}
for arch in arm64 armhf; do
  for c in ${bridge_cases[$arch]}; do
    check "$arch bridge under ${emulator[$arch]}: Bridge.$c" bridge_case "$arch" "$c"
  done
done

echo "arm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
