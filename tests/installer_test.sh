#!/usr/bin/env bash
# The installers under 64-bit Wine, each case in a fresh copy of a pristine prefix: install,
# the class from a 64-bit script, the 32-bit view, the registry against regsvr32's, uninstall,
# install again, and an upgrade to a later version built here. Run by scripts/test after the
# win32 and win64 builds; prints a line per check and ends with "N passed, N failed".
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

passed=0 failed=0
check() {  # description command...
  if "${@:2}"; then
    echo "ok   $1"; passed=$((passed + 1))
  else
    echo "FAIL $1"; failed=$((failed + 1))
  fi
}
finish() {
  echo "installer: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# 32-bit Wine runs only where the kernel runs 32-bit programs; scripts/test says which.
runs_32bit=${VANTREL_WIN32_RUNS:-no}

in_prefix() { WINEPREFIX=$prefix /usr/lib/wine/wine64 "$@" 2>&1 | tr -d '\r'; }
in_prefix32() { WINEPREFIX=$prefix /usr/lib/wine/wine "$@" 2>&1 | tr -d '\r'; }
fresh_prefix() {  # name
  prefix=$work/$1
  rm -rf "$prefix"
  cp -a "$work/pristine" "$prefix"
}
settle() { WINEPREFIX=$prefix wineserver -w; }
msiexec() { WINEPREFIX=$prefix /usr/lib/wine/wine64 msiexec "$@" /qn >/dev/null 2>&1; }

# Whether the virtual CM17A on COM5 receives the command while the prefix runs a program.
receives() {  # command wine-loader program args...
  local command=$1; shift
  "$cm17a" run --prefix "$prefix" --port com5 -- env WINEPREFIX="$prefix" "$@" 2>&1 |
    grep -q "^CM17A received: $command "
}
# E1 ON from cscript of the given bitness.
switches() { receives "E1 ON" "$1" cscript //nologo "Z:$root/scripts/switch.vbs" COM5 E1 1 0 0 0; }
# Where the x64 package puts its files.
install_dirs() {
  pf=$prefix/drive_c/"Program Files"/VantrelCtrl pf86=$prefix/drive_c/"Program Files (x86)"/VantrelCtrl
}

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

mkdir -p "$work"
echo "=== installer: packages"
scripts/package >/dev/null || { echo "FAIL scripts/package"; failed=1; finish; }
version=$(cat build/win64/version.txt)
IFS=. read -r v1 v2 v3 v4 <<<"$version"
next=$v1.$v2.$((v3 + 1)).$v4
scripts/package --version "$next" --out "$work/next" >/dev/null ||
  { echo "FAIL scripts/package --version $next"; failed=1; finish; }
msi=$root/dist/VantrelCtrl-$version-x64.msi
next_msi=$work/next/VantrelCtrl-$next-x64.msi

if [ ! -f "$work/pristine/.ready" ]; then
  runner=$work/wine-run-pristine
  printf '#!/bin/sh\nWINEPREFIX=%s WINEDEBUG=-all exec /usr/lib/wine/wine64 "$@"\n' \
    "$work/pristine" >"$runner"
  chmod +x "$runner"
  sh cmake/make-wineprefix.sh "$runner" "$work/pristine" || { failed=1; finish; }
fi

x86_files() {
  msiinfo export "$root/dist/VantrelCtrl-$version-x86.msi" File | tail -n +4 | cut -f1 |
    LC_ALL=C sort | tr '\n' ' '
}
check "the x86 package holds the 32-bit library, SwitchProbe and vantrel only" \
  test "$(x86_files)" = "SwitchProbe32.exe VantrelCtrl32.dll vantrel32.exe "

echo "=== installer: install"
fresh_prefix installed
# The script host registers its own type libraries on first use: it runs once before the
# snapshot, so that what it adds is not taken for the package's.
in_prefix cscript //nologo "Z:$root/scripts/switch.vbs" >/dev/null
[ "$runs_32bit" = yes ] && in_prefix32 cscript //nologo "Z:$root/scripts/switch.vbs" >/dev/null
settle
before_keys=$(registry_keys) before_files=$(files)
check "msiexec /i installs the x64 package" msiexec /i "Z:$msi"
install_dirs
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
check "the package writes exactly the keys and values that regsvr32 writes" \
  same "$installed_entries" "$registered_entries"
check "and they are not nothing" test "$(grep -c '^\[' <<<"$installed_entries")" -ge 20

echo "=== installer: uninstall"
prefix=$installed
check "msiexec /x removes the package" msiexec /x "Z:$msi"
settle
# Windows Installer keeps its own (empty) bookkeeping keys and folder once it has run.
bookkeeping='^\[Software\\\\(Classes\\\\Installer\\\\(Features|Products|UpgradeCodes)|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer\\\\(UpgradeCodes|UserData\\\\S-1-5-18\\\\(Components|Products)))\]$'
none() { [ -z "$1" ] || { echo "$1" >&2; return 1; }; }
added_keys=$(comm -13 <(echo "$before_keys") <(registry_keys) | grep -Ev "$bookkeeping")
added_files=$(comm -13 <(echo "$before_files") <(files) | grep -vx './windows/Installer')
check "no key that the package added remains" none "$added_keys"
check "no file or folder that the package added remains" none "$added_files"
packed=$(python3 -c 'import sys, uuid
h = uuid.UUID(sys.argv[1]).hex.upper()
print(h[7::-1] + h[11:7:-1] + h[15:11:-1] + "".join(h[i + 1] + h[i] for i in range(16, 32, 2)))' "$upgrade_code")
mentions() { grep -il -e VantrelCtrl -e "${clsid:1:36}" -e "${libid:1:36}" -e "${iid:1:36}" -e "$packed" \
               "$prefix/system.reg" "$prefix/user.reg"; }
check "the registry mentions neither the class nor the product any more" none "$(mentions)"
check "installing again after the removal works" msiexec /i "Z:$msi"
check "and the class works again" switches /usr/lib/wine/wine64

echo "=== installer: upgrade $version -> $next"
fresh_prefix upgraded
msiexec /i "Z:$msi"
check "installing $next over $version succeeds" msiexec /i "Z:$next_msi"
products() {
  in_prefix reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    grep -c 'DisplayName    REG_SZ    VantrelCtrl$'
}
check "one product is installed" test "$(products)" = 1
check "it is $next" grep -q "DisplayVersion    REG_SZ    $next\$" \
  <<<"$(in_prefix reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s)"
unpacked=$work/next/unpacked
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$work/next/VantrelCtrl-$next.zip")
install_dirs
new_files() {
  cmp -s "$pf/VantrelCtrl.dll" "$unpacked/VantrelCtrl-$next/win64/VantrelCtrl.dll" &&
    cmp -s "$pf/SwitchProbe.exe" "$unpacked/VantrelCtrl-$next/win64/SwitchProbe.exe" &&
    cmp -s "$pf/vantrel.exe" "$unpacked/VantrelCtrl-$next/win64/vantrel.exe" &&
    cmp -s "$pf86/VantrelCtrl.dll" "$unpacked/VantrelCtrl-$next/win32/VantrelCtrl.dll"
}
check "the files of $next are in place" new_files
check "the class still works" switches /usr/lib/wine/wine64

finish
