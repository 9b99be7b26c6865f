#!/usr/bin/env bash
# The installers under 64-bit Wine: the versions that the packaging refuses; then, in a fresh
# copy of a pristine prefix, install, the class from 64-bit (and 32-bit) scripts and the
# installed vantrel, the registry against regsvr32's (in another copy), uninstall, install
# again, the upgrade to the next release built here, and that release and the older one again
# over it. Run by scripts/test after the win32 and win64 builds. Prints "installer: N checks
# planned" (and "installer: N checks skipped" for the 32-bit ones it cannot run), a line per check
# and "installer: N passed, N failed": a run that ends without that line, or with fewer passed
# than planned, failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/installer-test
cm17a=$root/build/win64/cm17a/bin/cm17a
export WINEDEBUG=-all

clsid='{8CA177E3-B91E-4200-A171-068349162588}'
libid='{61A73E7E-9656-4749-969D-127562979CED}'
iid='{AF4B8018-E1AE-49B6-AF73-99A85BF9DBE9}'
upgrade_code='{BF1EF7C2-7417-45F1-B7F0-0AED516C404C}'

# 32-bit Wine runs only where the kernel runs 32-bit programs; scripts/test says which.
runs_32bit=${VANTREL_WIN32_RUNS:-no}
planned=33
# A 32-bit cscript switches in the 64-bit prefix too, and the x86 package has a 32-bit one.
only_32bit=$((1 + 9))
[ "$runs_32bit" = yes ] && planned=$((planned + only_32bit))
echo "installer: $planned checks planned"
[ "$runs_32bit" = yes ] || echo "installer: $only_32bit checks skipped: 32-bit programs do not run natively here"

passed=0 failed=0
check() {  # description command...
  if "${@:2}"; then
    echo "ok   $1"; passed=$((passed + 1))
  else
    echo "FAIL $1"; failed=$((failed + 1))
  fi
}
finish() {
  local missing=$((planned - passed - failed))
  [ "$missing" -le 0 ] || { echo "FAIL $missing planned checks did not run"; failed=$((failed + missing)); }
  echo "installer: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -eq "$planned" ]
  exit
}

# This run's prefixes and packages go in one folder, removed on every way out together with
# the Wine servers of its prefixes (and of the pristine one, if this run was making it).
mkdir -p "$work"
run=$(mktemp -d "$work/run.XXXXXX")
cleanup() {
  local p
  for p in "$work"/pristine* "$run"/*/; do
    [ -f "$p/system.reg" ] && WINEPREFIX=${p%/} wineserver -k 2>/dev/null
  done
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

in_prefix() { WINEPREFIX=$prefix /usr/lib/wine/wine64 "$@" 2>&1 | tr -d '\r'; }
in_prefix32() { WINEPREFIX=$prefix /usr/lib/wine/wine "$@" 2>&1 | tr -d '\r'; }
# A pristine prefix is made once and kept in $work; each part of the test works in a copy.
pristine() {  # name loader [WINEARCH]
  [ -f "$work/$1/.ready" ] && return
  printf '#!/bin/sh\n%sWINEPREFIX=%s WINEDEBUG=-all exec %s "$@"\n' "${3:+WINEARCH=$3 }" \
    "$work/$1" "$2" >"$run/wine-run-$1"
  chmod +x "$run/wine-run-$1"
  sh cmake/make-wineprefix.sh "$run/wine-run-$1" "$work/$1"
}
fresh_prefix() {  # name [pristine]
  prefix=$run/$1
  cp -a "$work/${2:-pristine}" "$prefix"
}
settle() { WINEPREFIX=$prefix wineserver -w; }
loader=/usr/lib/wine/wine64  # the one msiexec runs under: the 32-bit prefix has the other
msiexec() { WINEPREFIX=$prefix "$loader" msiexec "$@" /qn >/dev/null 2>&1; }
# The versions of the VantrelCtrl products installed, one a line.
versions() {
  in_prefix reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    awk '/^HKEY/ { if (ours) print version; ours = 0; version = "" }
         $1 == "DisplayName" && $3 == "VantrelCtrl" && NF == 3 { ours = 1 }
         $1 == "DisplayVersion" { version = $3 }
         END { if (ours) print version }' | sort
}

# Whether the virtual CM17A on COM5 receives the command while the prefix runs a program.
# What the run printed goes to stderr when the command did not arrive, so that a failure
# seen once in CI can be read there.
receives() {  # command wine-loader program args...
  local command=$1 said; shift
  said=$("$cm17a" run --prefix "$prefix" --port com5 -- env WINEPREFIX="$prefix" "$@" 2>&1)
  grep -q "^CM17A received: $command " <<<"$said" && return
  printf '%s\n' "--- expected \"CM17A received: $command\"; the run printed:" "$said" >&2
  return 1
}
# E1 ON from cscript of the given bitness.
switches() { receives "E1 ON" "$1" cscript //nologo "Z:$root/scripts/switch.vbs" COM5 E1 1 0 0 0; }

# Every key of ours as the prefix's registry file holds it, values included, with the library
# folders named instead of spelled out (the file doubles each backslash).
our_entries() {  # dir64 dir32
  local d64 d32
  d64=$(sed -e 's/\\/\\\\/g' -e 's/[][\\.*^$]/\\&/g' <<<"$1")
  d32=$(sed -e 's/\\/\\\\/g' -e 's/[][\\.*^$]/\\&/g' <<<"$2")
  awk -v ours="VantrelCtrl|${clsid:1:36}|${libid:1:36}|${iid:1:36}" '
    /^\[/ { keep = $0 ~ ours }
    /^#time=/ { next }
    keep { sub(/\] [0-9]+$/, "]"); print }' "$prefix/system.reg" |
    sed -e "s|$d64|<dir64>|g" -e "s|$d32|<dir32>|g"
}

# Keys and files of a prefix, for comparing before and after.
registry_keys() { sed -nE 's/^(\[.*\])( [0-9]+)?$/\1/p' "$prefix/system.reg" "$prefix/user.reg" | sort; }
files() { (cd "$prefix/drive_c" && find . | sort); }

echo "=== installer: packages"
# The release goes to this run's folder: dist/ may hold one that is not to be replaced.
dist=$run/dist
scripts/package --out "$dist" >/dev/null || { echo "FAIL scripts/package"; failed=1; finish; }
version=$(cat build/win64/version.txt)
IFS=. read -r v1 v2 v3 <<<"$version"
next=$v1.$v2.$((v3 + 1))
# Two packages of the next release: the second, dated a second later, has the same product
# code and a new package code.
epoch=$(git log -1 --format=%ct HEAD)
for out in next again; do
  SOURCE_DATE_EPOCH=$epoch scripts/package --version "$next" --out "$run/$out" >/dev/null ||
    { echo "FAIL scripts/package --version $next"; failed=1; finish; }
  epoch=$((epoch + 1))
done
msi=$dist/VantrelCtrl-$version-x64.msi msi86=$dist/VantrelCtrl-$version-x86.msi
next_msi=$run/next/VantrelCtrl-$next-x64.msi

x86_files() {
  msiinfo export "$msi86" File | tail -n +4 | cut -f1 |
    LC_ALL=C sort | tr '\n' ' '
}
check "the x86 package holds the 32-bit library, SwitchProbe and vantrel only" \
  test "$(x86_files)" = "SwitchProbe32.exe VantrelCtrl32.dll vantrel32.exe "

# 1.0.0.1 has shipped: a version not above it in the first three numbers would not replace it,
# and a fourth number is none of a release version's. An empty value is refused too, not taken
# for a missing option, and so is an output folder that holds other things, which the release
# would replace: a planted SHA256SUMS does not make it one.
refuses() {  # words-of-the-reason arguments...
  local said builds
  builds=$(ls -d build/release-* 2>/dev/null)
  said=$(scripts/package --out "$run/refused" "${@:2}" 2>&1) && return 1
  grep -qF -- "$1" <<<"$said" && [ ! -e "$run/refused" ] &&
    [ "$(ls -d build/release-* 2>/dev/null)" = "$builds" ]
}
for v in 1.0.0 0.9.9; do
  check "scripts/package refuses $v, before building: would not replace 1.0.0.1" \
    refuses "$v would not replace 1.0.0.1" --version "$v"
done
check "scripts/package refuses 1.0.0.2, before building: not major.minor.build" \
  refuses "1.0.0.2' is not major.minor.build" --version 1.0.0.2
check "scripts/package refuses --sign '' before building" refuses "--sign needs a value" --sign ""
mkdir "$run/mixed" && echo mine >"$run/mixed/notes.txt" && touch "$run/mixed/SHA256SUMS"
out_refused() {
  refuses "holds other things than a release (notes.txt)" --out "$run/mixed" &&
    [ "$(LC_ALL=C ls -A "$run/mixed")" = "$(printf 'SHA256SUMS\nnotes.txt')" ]
}
check "scripts/package refuses --out to a folder of other things, and leaves it be" out_refused

pristine pristine /usr/lib/wine/wine64 || finish

echo "=== installer: install"
fresh_prefix installed
# The script host registers its own type libraries on first use: it runs once before the
# snapshot, so that what it adds is not taken for the package's.
in_prefix cscript //nologo "Z:$root/scripts/switch.vbs" >/dev/null
[ "$runs_32bit" = yes ] && in_prefix32 cscript //nologo "Z:$root/scripts/switch.vbs" >/dev/null
settle
before_keys=$(registry_keys) before_files=$(files)
check "msiexec /i installs the x64 package" msiexec /i "Z:$msi"
pf=$prefix/drive_c/"Program Files"/VantrelCtrl pf86=$prefix/drive_c/"Program Files (x86)"/VantrelCtrl
check "the 64-bit library, SwitchProbe and vantrel are in Program Files" \
  test -f "$pf/VantrelCtrl.dll" -a -f "$pf/SwitchProbe.exe" -a -f "$pf/vantrel.exe"
check "the 32-bit library is in Program Files (x86)" test -f "$pf86/VantrelCtrl.dll"
check "a 64-bit cscript switches E1 on through the installed class" switches /usr/lib/wine/wine64
check "the installed vantrel switches E2 off through the installed class" receives "E2 OFF" \
  /usr/lib/wine/wine64 'C:\Program Files\VantrelCtrl\vantrel.exe' --port COM5 --clock-rate 0 E2 off
check "the 32-bit registry view names the 32-bit library" \
  grep -q 'REG_SZ    C:\\Program Files (x86)\\VantrelCtrl\\VantrelCtrl.dll$' \
  <<<"$(in_prefix reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /reg:32)"
if [ "$runs_32bit" = yes ]; then
  check "a 32-bit cscript switches E1 on through the installed class" switches /usr/lib/wine/wine
fi

echo "=== installer: the same registry as regsvr32"
installed=$prefix
settle
installed_entries=$(our_entries 'C:\Program Files\VantrelCtrl\' 'C:\Program Files (x86)\VantrelCtrl\')
fresh_prefix regsvr32
in_prefix regsvr32 /s "Z:$root/build/win64/bin/VantrelCtrl.dll" >/dev/null
[ "$runs_32bit" = yes ] && in_prefix32 regsvr32 /s "Z:$root/build/win32/bin/VantrelCtrl.dll" >/dev/null
settle
# Wine's type library loader adds LIBFLAG_FHASDISKIMAGE (8) to the flags that the library
# declares (none), and its RegisterTypeLib writes them; the package writes the declared flags.
wine_flags() { sed -e '/\\FLAGS\]$/{n;s/^@="8"$/@="0"/}'; }
registered_entries=$(our_entries "Z:${root//\//\\}\\build\\win64\\bin\\" \
  "Z:${root//\//\\}\\build\\win32\\bin\\" | wine_flags)
if [ "$runs_32bit" != yes ]; then
  echo "skip the 32-bit library's entries: this kernel cannot run the 32-bit regsvr32"
  # What only the 32-bit registration writes, and HELPDIR, which the last one writes.
  only64() { awk '/^\[/ { keep = !/Wow6432Node|\\win32\]|\\HELPDIR\]/ } keep'; }
  installed_entries=$(only64 <<<"$installed_entries")
  registered_entries=$(only64 <<<"$registered_entries")
fi
same() { diff <(echo "$1") <(echo "$2") >&2; }
same_registry() {  # installed registered which-regsvr32
  check "the package writes exactly the keys and values that $3 writes" same "$1" "$2"
  # One library's keys alone are 18 (keys without values are not in the file).
  check "and they are not nothing" test "$(grep -c '^\[' <<<"$1")" -ge 18
}
same_registry "$installed_entries" "$registered_entries" regsvr32

# Uninstalling leaves nothing of the package: before_keys and before_files are the prefix's
# keys and files from before it was installed.
removal_checks() {  # msi
  check "msiexec /x removes the package" msiexec /x "Z:$1"
  settle
  local added_keys added_files
  added_keys=$(comm -13 <(echo "$before_keys") <(registry_keys) | grep -Ev "$bookkeeping")
  added_files=$(comm -13 <(echo "$before_files") <(files) | grep -vx './windows/Installer')
  check "no key that the package added remains" none "$added_keys"
  check "no file or folder that the package added remains" none "$added_files"
  check "the registry mentions neither the class nor the product any more" none "$(mentions)"
}
# Windows Installer keeps its own (empty) bookkeeping keys and folder once it has run, and
# Wine's debugger its settings key once any Wine process has faulted (Wine's own tools too):
# neither is the package's.
bookkeeping='^\[Software\\\\(Classes\\\\Installer\\\\(Features|Products|UpgradeCodes)|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer\\\\(UpgradeCodes|UserData\\\\S-1-5-18\\\\(Components|Products))|Wine\\\\WineDbg)\]$'
none() { [ -z "$1" ] || { echo "$1" >&2; return 1; }; }
packed=$(python3 -c 'import sys, uuid
h = uuid.UUID(sys.argv[1]).hex.upper()
print(h[7::-1] + h[11:7:-1] + h[15:11:-1] + "".join(h[i + 1] + h[i] for i in range(16, 32, 2)))' "$upgrade_code")
mentions() { grep -il -e VantrelCtrl -e "${clsid:1:36}" -e "${libid:1:36}" -e "${iid:1:36}" -e "$packed" \
               "$prefix/system.reg" "$prefix/user.reg"; }

echo "=== installer: uninstall"
prefix=$installed
removal_checks "$msi"
check "installing again after the removal works" msiexec /i "Z:$msi"
check "and the class works again" switches /usr/lib/wine/wine64

echo "=== installer: upgrade to $next, then $next and $version again"
check "$version is installed, alone" test "$(versions)" = "$version"
check "installing $next over $version succeeds" msiexec /i "Z:$next_msi"
check "$next has replaced $version" test "$(versions)" = "$next"
mkdir "$run/unpacked" && (cd "$run/unpacked" && cmake -E tar xf "$run/next/VantrelCtrl-$next.zip")
new_files() {
  local built=$run/unpacked/VantrelCtrl-$next f
  for f in VantrelCtrl.dll SwitchProbe.exe vantrel.exe; do
    cmp -s "$pf/$f" "$built/win64/$f" || return 1
  done
  cmp -s "$pf86/VantrelCtrl.dll" "$built/win32/VantrelCtrl.dll"
}
check "the files of $next are in place" new_files
check "the class still works" switches /usr/lib/wine/wine64
# Windows refuses a second package of an installed product (1638) unless told to reinstall;
# Wine's msiexec returns 0. Either way, one product must remain.
msiexec /i "Z:$run/again/VantrelCtrl-$next-x64.msi"
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }'; }
codes() {  # msi: its product code and package code
  product_code "$1"
  msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'
}
another_build() {
  local a b
  mapfile -t a < <(codes "$next_msi")
  mapfile -t b < <(codes "$run/again/VantrelCtrl-$next-x64.msi")
  [ "${#a[@]}" -eq 2 ] && [ "${a[0]}" = "${b[0]}" ] && [ "${a[1]}" != "${b[1]}" ] &&
    [ "$(versions)" = "$next" ]
}
check "another build of $next (its product code, another package code) over $next leaves one product, $next" \
  another_build
# The package finds the newer product and fails its launch condition: msiexec exits with 1603
# (the host sees its low byte). Wine neither shows nor logs the condition's message under /qn.
downgrade_refused() {
  local log=$run/downgrade.log
  msiexec /i "Z:$msi" /l*v "Z:$log"
  [ $? -eq $((1603 % 256)) ] || return 1
  tr -d '\r' <"$log" | grep -qxF "Property(S): WIX_DOWNGRADE_DETECTED = $(product_code "$next_msi")"
}
check "installing $version over $next is refused: a newer version is installed" downgrade_refused
check "and $next remains, alone" test "$(versions)" = "$next"

echo "=== installer: signing"
# A code-signing certificate and the CA that issued it, made here; the password in a file.
keys=$run/keys
certificates() {
  mkdir "$keys" && cd "$keys" || return 1
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=VantrelCtrl Test CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign &&
  openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
    -subj "/CN=Another CA" &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=VantrelCtrl Test Publisher" &&
  printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' >signer.ext &&
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem &&
  printf 'open sesame' >password &&
  openssl pkcs12 -export -in signer.pem -inkey signer.key -passout file:password -out signer.pfx
} 2>/dev/null
(certificates) || { echo "FAIL openssl made no certificate"; finish; }
signed=$run/signed-release
sign() { scripts/package --sign "$keys/signer.pfx" --sign-password-file "$keys/password" --out "$signed" >/dev/null; }
check "scripts/package --sign signs, the password in a file" sign
# A signature that cannot be made stops the run with the reason, and the release already in the
# output folder stays as it was, file for file.
snapshot() { (cd "$signed" && find . -mindepth 1 -printf '%p %s %T@\n' | sort && sha256sum ./*); }
sign_fails() {  # password timestamp-url words-of-the-reason
  local before said
  before=$(snapshot)
  said=$(VANTREL_SIGN_PASSWORD=$1 scripts/package --sign "$keys/signer.pfx" ${2:+--timestamp "$2"} \
           --out "$signed" 2>&1) && return 1
  grep -qF -- "$3" <<<"$said" && grep -q "^package: signing .* failed" <<<"$said" &&
    [ "$(snapshot)" = "$before" ]
}
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
check "a wrong password fails plainly and changes nothing in the output folder" \
  sign_fails wrong "" "(is the password right?)"
check "a timestamp server that cannot be reached fails plainly and changes nothing" \
  sign_fails "open sesame" "http://127.0.0.1:$closed" ""
# Each DLL, EXE and MSI verifies against the CA that issued the certificate, and none against
# a CA that did not: the files in the zip and in the MSIs, and the MSIs themselves.
unpacked=$run/signed-files
mkdir "$unpacked" && (cd "$unpacked" && cmake -E tar xf "$signed/VantrelCtrl-$version.zip" &&
  for m in "$signed"/*.msi; do msiextract -C "${m##*/}" "$m" >/dev/null; done)
verifies() {
  local f n=0
  while IFS= read -r -d '' f; do
    osslsigncode verify -CAfile "$keys/ca.pem" -in "$f" >/dev/null 2>&1 || { echo "$f" >&2; return 1; }
    ! osslsigncode verify -CAfile "$keys/other.pem" -in "$f" >/dev/null 2>&1 || return 1
    n=$((n + 1))
  done < <(find "$signed" "$unpacked" -type f \( -name '*.msi' -o -name '*.dll' -o -name '*.exe' \) -print0)
  [ "$n" -eq 15 ]
}
check "the 2 MSIs, the 6 DLLs and EXEs of the zip and the 7 of the MSIs verify against the signing CA" verifies
fresh_prefix signed
signed_switches() {
  in_prefix regsvr32 /s "Z:$unpacked/VantrelCtrl-$version/win64/VantrelCtrl.dll" >/dev/null &&
    switches /usr/lib/wine/wine64
}
check "the signed 64-bit library registers and switches E1 on" signed_switches

echo "=== installer: the x86 package in a 32-bit prefix"
if [ "$runs_32bit" = yes ]; then
  pristine pristine32 /usr/lib/wine/wine win32 || finish
  fresh_prefix x86 pristine32
  loader=/usr/lib/wine/wine
  in_prefix32 cscript //nologo "Z:$root/scripts/switch.vbs" >/dev/null
  settle
  before_keys=$(registry_keys) before_files=$(files)
  check "msiexec /i installs the x86 package" msiexec /i "Z:$msi86"
  pf=$prefix/drive_c/"Program Files"/VantrelCtrl
  check "the 32-bit library, SwitchProbe and vantrel are in Program Files" \
    test -f "$pf/VantrelCtrl.dll" -a -f "$pf/SwitchProbe.exe" -a -f "$pf/vantrel.exe"
  check "a 32-bit cscript switches E1 on through the installed class" switches /usr/lib/wine/wine
  settle
  installed=$prefix
  installed_entries=$(our_entries 'C:\Program Files\VantrelCtrl\' 'C:\Program Files\VantrelCtrl\')
  fresh_prefix regsvr32-x86 pristine32
  in_prefix32 regsvr32 /s "Z:$root/build/win32/bin/VantrelCtrl.dll" >/dev/null
  settle
  bin32="Z:${root//\//\\}\\build\\win32\\bin\\"
  same_registry "$installed_entries" "$(our_entries "$bin32" "$bin32" | wine_flags)" "the 32-bit regsvr32"
  prefix=$installed
  removal_checks "$msi86"
  loader=/usr/lib/wine/wine64
else
  echo "skip the x86 package in a 32-bit prefix: this kernel cannot run 32-bit programs"
fi

finish
