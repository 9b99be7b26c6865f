#!/usr/bin/env bash
# vantrel's .deb, made by CPack from this build tree: its files and conffile, the systemd unit,
# the man page, and an install, reinstall, removal and purge in a scratch root as dpkg does them.
# usage: deb_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/script_checks.sh"
silent() {  # a command that must succeed and print nothing
  local out; out=$("$@" 2>&1) && [ -z "$out" ] || { echo "$out"; return 1; }
}

echo "deb: 17 checks"
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

# What the host's systemd knows of the unit, which nothing done under --root may change.
host_units() {
  find /etc/systemd /var/lib/systemd -name 'vantrel-mqtt.service*' 2>/dev/null | sort
}
host_before=$(host_units)

# The unit as systemd reads it, with its program at the scratch root's path.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$work/unit"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(--force-not-root)
dpkg_root() {
  dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends \
    --force-confold "${as_root[@]}" "$@"
}
install_deb() { dpkg_root -i "$deb"; }
check "dpkg -i into a scratch root" install_deb
unit=$root/usr/lib/systemd/system/vantrel-mqtt.service
sed "s|/usr/bin/vantrel|$root/usr/bin/vantrel|" "$unit" >"$work/unit/vantrel-mqtt.service"
check "systemd-analyze verify finds nothing to say" \
  silent systemd-analyze verify --man=no "$work/unit/vantrel-mqtt.service"
unit_has() {  # unit file, then the lines it must hold
  local unit=$1 line; shift
  for line; do grep -qxF -- "$line" "$unit" || { echo "missing: $line"; return 1; }; done
}
check "the unit: a non-root user in dialout, after the network and a local broker, reloaded by SIGHUP, its state in /var/lib/vantrel, restarted unless the configuration is bad, hardened" \
  unit_has "$unit" User=vantrel SupplementaryGroups=dialout \
    'After=network-online.target mosquitto.service' 'ExecReload=/bin/kill -HUP $MAINPID' \
    StateDirectory=vantrel Restart=on-failure RestartPreventExitStatus=2 \
    ProtectSystem=strict NoNewPrivileges=yes
# Each of these makes the device policy an allow-list on some systemd, and the serial port fails
# to open with EPERM.
closing_settings() {  # unit file, list of settings
  local patterns
  patterns=$(grep -v '^#' "$2" | cut -d' ' -f1) && [ -n "$patterns" ] || return 1
  grep -Eix -e "$patterns" "$1"; [ $? -eq 1 ]  # the lines found are shown; 2 is a grep fault
}
check "the unit has no setting that closes the serial ports on systemd 245-251" \
  closing_settings "$unit" "$(dirname "$0")/device_closing_directives.txt"
check "the bridge's user exists, in dialout" bash -c \
  'grep -q "^vantrel:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$" "$1/etc/passwd" &&
   grep -Eq "^dialout:x:[0-9]+:(.*,)?vantrel(,|$)" "$1/etc/group"' - "$root"
check "the man page has no formatting fault" \
  silent bash -c 'zcat "$1" | groff -man -ww -z -Tutf8' - "$root/usr/share/man/man1/vantrel.1.gz"
check "the example configuration is a valid one" \
  "$root/usr/bin/vantrel" mqtt --check --config "$root/etc/vantrel/mqtt.yaml"
sed -i 's|port: /dev/ttyUSB0|port: /dev/ttyACM0|' "$root/etc/vantrel/mqtt.yaml"
cp "$root/etc/vantrel/mqtt.yaml" "$work/edited.yaml"
reinstall_keeps() { install_deb && cmp "$work/edited.yaml" "$root/etc/vantrel/mqtt.yaml"; }
check "a reinstall (postinst as on upgrade) succeeds and keeps the user's configuration" reinstall_keeps

# The user enables the unit and the bridge makes its identity; then the package is removed, and
# purged.
wants=$root/etc/systemd/system/multi-user.target.wants/vantrel-mqtt.service
systemctl --root="$root" enable vantrel-mqtt.service >"$work/enable.log" 2>&1
mkdir -p "$root/var/lib/vantrel" && echo house >"$root/var/lib/vantrel/node_id"
check "dpkg -r succeeds" dpkg_root -r vantrel
check "removal takes the program and keeps the user's configuration" bash -c \
  '[ ! -e "$1/usr/bin/vantrel" ] && cmp "$2" "$1/etc/vantrel/mqtt.yaml"' - "$root" "$work/edited.yaml"
[ -L "$wants" ] && enabled_before_purge=yes || enabled_before_purge=no
check "dpkg -P succeeds" dpkg_root -P vantrel
check "purge takes the configuration and /var/lib/vantrel" bash -c \
  '[ ! -e "$1/etc/vantrel/mqtt.yaml" ] && [ ! -e "$1/var/lib/vantrel" ]' - "$root"
check "purge takes the user's enable link, and leaves the unit unmasked" bash -c \
  '[ "$2" = yes ] || { echo "the unit was not enabled before the purge"; exit 1; }
   found=$(find "$1/etc/systemd" -name vantrel-mqtt.service); [ -z "$found" ] || { echo "$found"; exit 1; }' \
  - "$root" "$enabled_before_purge"
check "the host's systemd state is untouched by all of this" same "$host_before" "$(host_units)"

echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
