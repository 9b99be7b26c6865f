#!/bin/sh
# Makes the Wine prefix of a build tree once; later runs find it ready and return at once.
# usage: make-wineprefix.sh WINE_RUN PREFIX
set -eu
run=$1 prefix=$2
# Wine takes only absolute prefixes.
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
if [ -f "$prefix/.ready" ]; then exit 0; fi
rm -rf "$prefix"
"$run" wineboot -i >/dev/null 2>&1 || true
# Without a window manager Wine waits for each hidden window unless it manages none itself.
"$run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -w
[ -f "$prefix/system.reg" ] || { echo "make-wineprefix: wineboot made no prefix at $prefix" >&2; exit 1; }
touch "$prefix/.ready"
