#!/usr/bin/env bash
# vantrel's .deb, made by CPack from this build tree: its files and conffile, the systemd unit,
# the man page, and an install into a scratch root as dpkg does it.
# usage: deb_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
passed=0 failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check() {  # name, then a command that succeeds when the check holds
  local name=$1; shift
  if "$@" >"$work/check.log" 2>&1; then
    echo "ok   $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; sed 's/^/  /' "$work/check.log"; failed=$((failed + 1))
  fi
}
same() {  # expected actual
  [ "$1" = "$2" ] || { printf 'expected:\n%s\ngot:\n%s\n' "$1" "$2"; return 1; }
}
silent() {  # a command that must succeed and print nothing
  local out; out=$("$@" 2>&1) && [ -z "$out" ] || { echo "$out"; return 1; }
}

echo "deb: 10 checks"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "deb: 0 passed, 1 failed"; exit 1; }
deb=$(ls "$work"/out/vantrel_"$version"_*.deb)

check "file list" same "./etc/vantrel/mqtt.yaml
./usr/bin/vantrel
./usr/lib/systemd/system/vantrel-mqtt.service
./usr/lib/sysusers.d/vantrel.conf
./usr/share/man/man1/vantrel.1.gz" "$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)"
check "the configuration is a conffile" same /etc/vantrel/mqtt.yaml \
  "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
check "dependencies computed from the binary" \
  grep -Eq '^ Depends: .*libmosquitto1.*libyaml-cpp' <(dpkg-deb -I "$deb")

# The unit as systemd reads it, with its program at the scratch root's path.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$work/unit"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(--force-not-root)
install_deb() {
  dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends \
    --force-confold "${as_root[@]}" -i "$deb"
}
check "dpkg -i into a scratch root" install_deb
unit=$root/usr/lib/systemd/system/vantrel-mqtt.service
sed "s|/usr/bin/vantrel|$root/usr/bin/vantrel|" "$unit" >"$work/unit/vantrel-mqtt.service"
check "systemd-analyze verify finds nothing to say" \
  silent systemd-analyze verify --man=no "$work/unit/vantrel-mqtt.service"
check "the unit: a non-root user in dialout, restarted on failure, after the network, hardened" \
  bash -c 'for line in User=vantrel SupplementaryGroups=dialout Restart=on-failure \
              After=network-online.target ProtectSystem=strict NoNewPrivileges=yes; do
             grep -qx "$line" "$1" || { echo "missing: $line"; exit 1; }; done' - "$unit"
check "the bridge's user exists, in dialout" bash -c \
  'grep -q "^vantrel:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$" "$1/etc/passwd" &&
   grep -Eq "^dialout:x:[0-9]+:(.*,)?vantrel(,|$)" "$1/etc/group"' - "$root"
check "the man page has no formatting fault" \
  silent bash -c 'zcat "$1" | groff -man -ww -z -Tutf8' - "$root/usr/share/man/man1/vantrel.1.gz"
check "the example configuration is a valid one" \
  "$root/usr/bin/vantrel" mqtt --check --config "$root/etc/vantrel/mqtt.yaml"
sed -i 's|port: /dev/ttyUSB0|port: /dev/ttyACM0|' "$root/etc/vantrel/mqtt.yaml"
cp "$root/etc/vantrel/mqtt.yaml" "$work/edited.yaml"
install_deb >"$work/reinstall.log" 2>&1
check "a reinstall keeps the user's configuration" cmp "$work/edited.yaml" "$root/etc/vantrel/mqtt.yaml"

echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
