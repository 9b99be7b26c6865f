#!/usr/bin/env bash
# The Home Assistant app's images as a Home Assistant machine gets them: scripts/publish-app
# pushes a release's images to a real registry (Debian's docker-registry on a free port of
# 127.0.0.1, with a login), the test reads back what the registry serves (the index of both
# architectures, each image's labels), pulls each architecture's image from it, unpacks its
# root filesystem and runs the image's entrypoint there (unshare and chroot: containers do not
# run here) against a stand-in Supervisor, a real mosquitto and the virtual CM17A; the arm64
# one under qemu-aarch64-static, started explicitly (nothing is registered with binfmt_misc).
# The start program gives the bridge a fresh environment, so a small static program of the
# test's own stands in the image for the bridge's path: it runs the image's /usr/bin/vantrel
# with the virtual CM17A's shim preloaded (under qemu for arm64).
# usage: app_image_test.sh DIST HOST_BUILD
#   DIST: vantrel-app_VERSION{,_amd64,_aarch64}.oci.tar and their SHA256SUMS (scripts/package's
#   dist/ or scripts/app-image's folder); HOST_BUILD: a host build with the virtual CM17A
#   (cm17a and its x86_64 and aarch64 shims)
set -uo pipefail
dist=$(realpath "$1") host=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
chmod 755 "$work"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait; rm -rf "$work"' EXIT
. "$here/script_checks.sh"
archs="amd64 arm64"
declare -A hass=([amd64]=amd64 [arm64]=aarch64)
declare -A triplet=([amd64]=x86_64-linux-gnu [arm64]=aarch64-linux-gnu)
declare -A machine=([amd64]="Advanced Micro Devices X86-64" [arm64]=AArch64)  # readelf's names
echo "app: $((2 + 4 * 2 + 3)) checks planned"

version=$(cd "$dist" && ls vantrel-app_*.oci.tar | sed -n 's/^vantrel-app_\([0-9.]*\)\.oci\.tar$/\1/p')
[ -n "$version" ] || { echo "app: no multi-architecture image in $dist"; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() {  # seconds command...: until the command succeeds
  local i
  for ((i = 0; i < $1 * 10; i++)); do "${@:2}" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# The registry, with a login of its own; skopeo finds it as insecure (plain HTTP) through a
# registries.conf of the test's, and its credentials in the test's auth.json.
reg_port=$(free_port) registry=127.0.0.1:$reg_port
python3 -W ignore -c 'import crypt; print("publisher:" + crypt.crypt("s3cret", crypt.mksalt(crypt.METHOD_BLOWFISH)))' \
  >"$work/htpasswd"
cat >"$work/registry.yml" <<EOF
version: 0.1
log: {level: error}
storage: {filesystem: {rootdirectory: $work/registry-data}}
http: {addr: "$registry"}
auth: {htpasswd: {realm: vantrel-test, path: $work/htpasswd}}
EOF
docker-registry serve "$work/registry.yml" >"$work/registry.log" 2>&1 &
pids+=($!)
printf '[[registry]]\nlocation = "%s"\ninsecure = true\n' "$registry" >"$work/registries.conf"
export CONTAINERS_REGISTRIES_CONF=$work/registries.conf REGISTRY_AUTH_FILE=$work/auth.json
skopeo() { command skopeo --registries-conf "$CONTAINERS_REGISTRIES_CONF" "$@"; }
wait_for 20 curl -s -o /dev/null "http://$registry/v2/" || { echo "app: the registry did not start"; cat "$work/registry.log"; }
target=$registry/home/vantrel

refused_then_published() {
  if scripts_out=$("$here/../scripts/publish-app" --dist "$dist" "$target" 2>&1); then
    echo "$scripts_out"; echo "published without a login"; return 1
  fi
  echo s3cret | skopeo login --username publisher --password-stdin "$registry" || return 1
  "$here/../scripts/publish-app" --dist "$dist" "$target" >"$work/publish.log" 2>&1 ||
    { cat "$work/publish.log"; return 1; }
  cat "$work/publish.log"
  grep -qxF "  image: $target" "$work/publish.log" &&
    grep -qxF "  image: $registry/home/{arch}-vantrel" "$work/publish.log"
}
check "publish-app is refused without a login, pushes after skopeo login and prints the image names" \
  refused_then_published

# The digest of what an archive's index.json names, and of what the registry serves.
archive_digest() { tar -xOf "$dist/$1" index.json | python3 -c 'import json, sys; print(json.load(sys.stdin)["manifests"][0]["digest"])'; }
served_digest() { echo "sha256:$(skopeo inspect --raw "docker://$1" | sha256sum | cut -d' ' -f1)"; }
served_index() {
  local raw platforms
  raw=$(skopeo inspect --raw "docker://$target:$version") || return 1
  platforms=$(python3 -c 'import json, sys
for m in json.load(sys.stdin)["manifests"]: print(m["platform"]["os"] + "/" + m["platform"]["architecture"], m["digest"])' <<<"$raw")
  echo "$platforms"
  same "linux/amd64 linux/arm64" "$(cut -d' ' -f1 <<<"$platforms" | sort | paste -sd' ')" &&
    same "$(archive_digest "vantrel-app_$version.oci.tar")" "$(served_digest "$target:$version")" || return 1
  # Each architecture's own name serves the same image as the index names for it.
  for arch in $archs; do
    same "$(awk -v p="linux/$arch" '$1 == p { print $2 }' <<<"$platforms")" \
      "$(served_digest "$registry/home/${hass[$arch]}-vantrel:$version")" &&
      same "$(archive_digest "vantrel-app_${version}_${hass[$arch]}.oci.tar")" \
        "$(served_digest "$registry/home/${hass[$arch]}-vantrel:$version")" || return 1
  done
}
check "the registry serves $target:$version as the release's index of linux/amd64 and linux/arm64, and each {arch}-vantrel as the image it names" \
  served_index

# The labels that Home Assistant's developer documentation asks of an app image built outside
# its builder, read from what the registry serves for each platform.
labels_as_documented() {  # arch
  local shown
  shown=$(skopeo inspect --override-arch "$1" "docker://$target:$version") || return 1
  python3 -c 'import json, sys; c = json.load(sys.stdin)
print(c["Architecture"], c["Os"])
for k, v in sorted(c["Labels"].items()): print(k + "=" + v)' <<<"$shown" | tee "$work/labels-$1"
  same "$1 linux
io.hass.arch=${hass[$1]}
io.hass.type=addon
io.hass.version=$version" "$(grep -E '^(io\.hass\.(arch|type|version)=|[a-z0-9]+ linux$)' "$work/labels-$1")"
}

# Each image as Home Assistant pulls it: by the one name, for its platform.
for arch in $archs; do
  check "$arch: the served image is a linux/$arch image with io.hass.type addon, io.hass.version $version and io.hass.arch ${hass[$arch]}" \
    labels_as_documented "$arch"
  rootfs=$work/bundle-$arch/rootfs
  skopeo copy --quiet --override-arch "$arch" "docker://$target:$version" "oci:$work/pulled-$arch:app" &&
    umoci unpack --image "$work/pulled-$arch:app" "$work/bundle-$arch" >/dev/null ||
    echo "app: cannot pull and unpack the $arch image"
done

# What the image holds: the two programs and the CA bundle; no compiler, no package manager,
# no package lists, no documentation.
holds_only_what_it_runs() {  # root
  local found
  (cd "$1" && find . -mindepth 1 | sort) >"$work/files"
  echo "$(wc -l <"$work/files") entries, $(du -sk --apparent-size "$1" | cut -f1) KiB"
  found=$(grep -E '^\./(usr/)?s?bin/(.*-)?(gcc|g\+\+|cc|c\+\+|cpp|as|ld|ld\.bfd|ld\.gold|make|dpkg|apt|apt-get)(-[0-9]+)?$|^\./usr/(lib|libexec)/gcc/|^\./usr/share/(doc|man|info)(/|$)|^\./var/lib/apt/lists|^\./var/cache/apt' \
    "$work/files")
  [ -z "$found" ] || { echo "should not be there:"; echo "$found" | head -20; return 1; }
  for f in usr/bin/vantrel usr/bin/vantrel-app-start etc/ssl/certs/ca-certificates.crt; do
    [ -s "$1/$f" ] || { echo "/$f is missing"; return 1; }
  done
}
# Every program and library of the image is built for its architecture, and every library that
# one needs is in the image (in the multiarch folders, or beside it: glibc's gconv modules load
# their own helpers).
libraries_complete() {  # root arch
  local f soname missing="" programs=0
  while IFS= read -r -d '' f; do
    file -b "$f" | grep -q '^ELF' || continue
    programs=$((programs + 1))
    readelf -h "$f" | grep -qE "^ *Machine: *${machine[$2]}$" || missing+="${f#"$1"} is not an $2 program"$'\n'
    while read -r soname; do
      [ -e "$1/lib/${triplet[$2]}/$soname" ] || [ -e "$1/usr/lib/${triplet[$2]}/$soname" ] ||
        [ -e "$1/lib/$soname" ] || [ -e "${f%/*}/$soname" ] || missing+="${f#"$1"} needs $soname"$'\n'
    done < <(readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  done < <(find "$1/usr/bin" "$1/lib" "$1/usr/lib" -type f \( -perm -u+x -o -name '*.so*' \) -print0)
  echo "$programs programs and libraries"
  [ "$programs" -gt 10 ] && [ -z "$missing" ] || { printf '%s' "$missing"; return 1; }
}
# The bundle holds each certificate that the image's ca-certificates ships, and nothing else.
fingerprints() { openssl x509 -noout -fingerprint -sha256 | cut -d= -f2; }
ca_bundle_complete() {  # root
  local shipped bundled
  shipped=$(find "$1/usr/share/ca-certificates" -name '*.crt' -exec sh -c 'openssl x509 -noout -fingerprint -sha256 -in "$1" | cut -d= -f2' sh {} \; | sort)
  bundled=$(awk -v dir="$work/split" 'BEGIN { system("mkdir -p " dir) } /BEGIN CERT/ { n++ } { print > (dir "/" n ".pem") }' \
              "$1/etc/ssl/certs/ca-certificates.crt" &&
            for c in "$work"/split/*.pem; do fingerprints <"$c"; done | sort)
  rm -rf "$work/split"
  echo "$(wc -l <<<"$shipped") shipped, $(wc -l <<<"$bundled") bundled"
  [ "$(wc -l <<<"$shipped")" -gt 100 ] && same "$shipped" "$bundled"
}
for arch in $archs; do
  rootfs=$work/bundle-$arch/rootfs
  check "$arch: the image holds vantrel, its start program and the CA bundle, and no compiler, package manager, package list or documentation" \
    holds_only_what_it_runs "$rootfs"
  check "$arch: its programs and libraries are $arch ones, and every library they need is in it" \
    libraries_complete "$rootfs" "$arch"
  check "$arch: its CA bundle holds every certificate of its ca-certificates, and only those" \
    ca_bundle_complete "$rootfs"
done

# The bench: a mosquitto with a login over TLS, its certificate from a CA of the test's that the
# image's store is given (as a broker's public CA would be in it), and a Supervisor that gives
# that login with ssl to the right token.
mqtt_port=$(free_port)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=app-test-ca -keyout "$work/ca.key" \
  -out "$work/ca.crt" 2>/dev/null &&
  openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$work/broker.key" \
    -out "$work/broker.csr" 2>/dev/null &&
  openssl x509 -req -in "$work/broker.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile <(echo subjectAltName=DNS:localhost) \
    -out "$work/broker.crt" 2>/dev/null || echo "app: cannot make the broker's certificate"
chmod 644 "$work/broker.key"
printf 'listener %s 127.0.0.1\ncertfile %s\nkeyfile %s\nallow_anonymous false\npassword_file %s\n' \
  "$mqtt_port" "$work/broker.crt" "$work/broker.key" "$work/mqtt.passwd" >"$work/mosquitto.conf"
mosquitto_passwd -b -c "$work/mqtt.passwd" app-login app-pass 2>/dev/null
chmod 644 "$work/mqtt.passwd"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
token=token-$RANDOM$RANDOM
python3 "$here/fake_supervisor.py" "$work/supervisor.port" "$work/supervisor.log" "$token" \
  "{\"host\": \"localhost\", \"port\": $mqtt_port, \"ssl\": true, \"protocol\": \"5\", \"username\": \"app-login\", \"password\": \"app-pass\"}" &
pids+=($!)
wait_for 10 test -s "$work/supervisor.port" &&
  wait_for 10 mosquitto_sub -p "$mqtt_port" --cafile "$work/ca.crt" -u app-login -P app-pass -t x -W 1 -E ||
  echo "app: the broker or the Supervisor did not start"
supervisor=http://127.0.0.1:$(cat "$work/supervisor.port" 2>/dev/null)
sub() { mosquitto_sub -V 5 -p "$mqtt_port" --cafile "$work/ca.crt" -u app-login -P app-pass "$@"; }

# The bridge's stand-in path in the image: runs the image's vantrel with the shim's settings
# (the start program passes on only a short list), under qemu for arm64.
cat >"$work/bridge.c" <<'EOF'
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
extern char** environ;
int main(int argc, char** argv) {
    char* args[argc + 4];
    int n = 0;
#ifdef EMULATOR
    args[n++] = "/cm17a/qemu";
    args[n++] = "-cpu";
    args[n++] = EMULATOR;
#endif
    args[n++] = "/usr/bin/vantrel";
    for (int i = 1; i < argc; i++) args[n++] = argv[i];
    args[n] = 0;
    setenv("LD_PRELOAD", "/cm17a/$LIB/cm17a_shim.so", 1);
    setenv("CM17A_PTY", "/dev/ttyCM17A", 1);
    setenv("CM17A_TRACE", "/cm17a/run/trace", 1);
    execve(args[0], args, environ);
    return 127;
}
EOF
gcc -static -O2 -o "$work/bridge-amd64" "$work/bridge.c" &&
  gcc -static -O2 -DEMULATOR='"cortex-a53"' -o "$work/bridge-arm64" "$work/bridge.c" ||
  echo "app: cannot build the bridge's stand-in path"

# Runs the image's entrypoint in ROOT as the container would (its own mount and PID namespaces,
# /proc, a /dev with the CM17A's pty as /dev/ttyCM17A, /data with the options), under the
# virtual CM17A, in the background; its PID in $app_pid.
start_app() {  # arch token
  local arch=$1 root=$work/bundle-$1/rootfs entry
  # The image's own entrypoint, as umoci unpack gives it to a runtime.
  mapfile -t entry < <(python3 -c 'import json, sys
print("\n".join(json.load(open(sys.argv[1]))["process"]["args"]))' "$work/bundle-$arch/config.json")
  [ "$arch" = amd64 ] || entry=(/cm17a/qemu -cpu cortex-a53 "${entry[@]}")
  mkdir -p "$root/cm17a/lib" "$root/cm17a/run" "$work/run-$arch"
  cp "$work/bridge-$arch" "$root/cm17a/bridge"
  [ "$arch" = amd64 ] || cp /usr/bin/qemu-aarch64-static "$root/cm17a/qemu"
  VANTREL_LOCK_DIR=$work "$host/bin/cm17a" run --link "$work/port-$arch" --trace "$work/run-$arch/trace" -- \
    env -i SUPERVISOR_TOKEN="$2" VANTREL_SUPERVISOR_URL="$supervisor" VANTREL_APP_BRIDGE=/cm17a/bridge \
    unshare -m -p -f --mount-proc="$root/proc" sh -c '
      root=$1 port=$(readlink -f "$2") shim=$3 run=$4
      shift 4
      mount -t tmpfs -o mode=755 dev "$root/dev" &&
        for d in null zero random urandom; do touch "$root/dev/$d" && mount --bind "/dev/$d" "$root/dev/$d"; done &&
        touch "$root/dev/ttyCM17A" && mount --bind "$port" "$root/dev/ttyCM17A" &&
        mount --bind "$shim" "$root/cm17a/lib" && mount --bind "$run" "$root/cm17a/run" &&
        exec chroot "$root" "$@"' sh "$root" "$work/port-$arch" "$host/bin/lib" "$work/run-$arch" "${entry[@]}" \
    >"$work/app-$arch.log" 2>&1 &
  app_pid=$!
}
# The PID, outside, of the entrypoint's process (the bridge once it has exec'd): the child of
# the unshare that cm17a runs.
entry_pid() { pgrep -P "$(pgrep -x -P "$app_pid" unshare)"; }
write_options() {  # arch
  mkdir -p "$work/bundle-$1/rootfs/data"
  local store=$work/bundle-$1/rootfs/etc/ssl/certs/ca-certificates.crt
  grep -q "$(sed -n 2p "$work/ca.crt")" "$store" || cat "$work/ca.crt" >>"$store"
  # A container runtime gives the container its /etc/hosts.
  printf '127.0.0.1 localhost\n' >"$work/bundle-$1/rootfs/etc/hosts"
  cat >"$work/bundle-$1/rootfs/data/options.json" <<EOF
{"serial_port": "/dev/ttyCM17A", "node_id": "img_$1", "log_level": "info",
 "units": [{"id": "A1", "name": "Desk lamp", "type": "light"}, {"id": "B2", "name": "Fan", "type": "switch"}],
 "clock_rate": 1, "reset_duration": 1, "standby_duration": 1}
EOF
}

# A wrong token: the Supervisor refuses it, the start program stops before any bridge starts.
refused_token() {
  write_options amd64
  : >"$work/supervisor.log"
  start_app amd64 wrong-token
  wait "$app_pid"; local status=$?
  cat "$work/app-amd64.log"
  echo "exit status $status; Supervisor saw: $(cat "$work/supervisor.log")"
  [ "$status" -ne 0 ] && grep -qx '/services/mqtt AUTHORIZATION-BAD' "$work/supervisor.log" &&
    ! grep -q 'AUTHORIZATION-OK' "$work/supervisor.log" && [ ! -s "$work/run-amd64/trace" ] &&
    [ -z "$(sub -t 'vantrel/img_amd64/#' -W 1 -C 1 2>/dev/null)" ]
}
check "amd64: with a token that the Supervisor refuses, the entrypoint exits non-zero and no bridge starts" \
  refused_token

# The real run: discovery of both units, A1 ON decoded exactly by the virtual CM17A, then the
# stop signal: offline, exit 0. The arm64 one to its first decoded frame.
runs_as_the_app() {  # arch
  local arch=$1 node=img_$1 status configs
  write_options "$arch"
  sub -t "vantrel/$node/availability" -C 1 -W 120 >"$work/online-$arch" 2>&1 &
  local online=$!
  start_app "$arch" "$token"
  wait "$online"
  same online "$(cat "$work/online-$arch")" || { cat "$work/app-$arch.log"; return 1; }
  configs=$(sub -t "homeassistant/+/$node/+/config" -v -W 3 2>/dev/null | cut -d' ' -f1 | sort)
  echo "$configs"
  grep -qi "^homeassistant/light/$node/.*a1" <<<"$configs" && grep -qi "^homeassistant/switch/$node/.*b2" <<<"$configs" ||
    { echo "no discovery of A1 (light) and B2 (switch)"; return 1; }
  mosquitto_pub -V 5 -p "$mqtt_port" --cafile "$work/ca.crt" -u app-login -P app-pass -q 1 \
    -t "vantrel/$node/A1/set" -m ON
  wait_for 120 grep -q CLOSE "$work/run-$arch/trace" || { echo "no frame reached the CM17A"; return 1; }
  sub -t "vantrel/$node/availability" -C 2 -W 120 >"$work/offline-$arch" 2>&1 &
  local offline=$!
  sleep 0.5
  kill -TERM "$(entry_pid)"
  wait "$app_pid"; status=$?
  wait "$offline"
  cat "$work/app-$arch.log"
  same "online
offline" "$(cat "$work/offline-$arch")" && same 0 "$status" &&
    # A1 ON: house A 0110, unit 1 0000 0000 0000, from the CM17A protocol.
    same "CM17A received: A1 ON   (code 0110000000000000)" "$(grep '^CM17A received' "$work/app-$arch.log")"
}
check "amd64: the entrypoint asks the Supervisor, the bridge (over TLS, with the image's CA store) announces A1 and B2, A1 ON reaches the CM17A exactly, SIGTERM gives offline and exit 0" \
  runs_as_the_app amd64
check "arm64 under qemu-aarch64-static: the same, to the first decoded frame and the stop" \
  runs_as_the_app arm64

echo "app: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
