#!/usr/bin/env bash
# The packages as a user gets them: made by cpack from a built tree, then
# unpacked, listed, and their programs run.
#   kivhost_package.sh CPACK BUILD_DIR CHECK_DLL_TABLES [windows]
# With "windows", the Windows zip (made from the cross-built side by the same
# cpack run) is checked too: its DAVODEV.dll must be the 32-bit library with
# the single export.
set -euo pipefail
cpack=$1
build=$2
check_dll=$3
windows=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack did not make the packages"
fi

# Linux tarball: everything in one folder, found through $ORIGIN.
tarball=$(ls "$work"/DAVODEV-*-Linux.tar.gz) || fail "no tarball in $(ls "$work")"
top=$(basename "$tarball" .tar.gz)
listing=$(tar tzf "$tarball" | grep -v '/$' | sort | tr '\n' ' ')
want="$top/README.md $top/include/davodev.h $top/kivhost $top/libDAVODEV.so $top/libDORVAK.so $top/plcsim "
[ "$listing" = "$want" ] || fail "tarball holds: $listing"
mkdir "$work/linux"
tar xzf "$tarball" -C "$work/linux"
unpacked="$work/linux/$top"
if command -v readelf >/dev/null; then
  for binary in kivhost libDAVODEV.so; do
    runpath=$(readelf -d "$unpacked/$binary" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p')
    [ "$runpath" = '$ORIGIN' ] || fail "$binary has RUNPATH '$runpath'; it must find its neighbours only"
  done
fi
"$unpacked/kivhost" info | grep -q 'K I V U X' || fail "the unpacked kivhost info"
"$unpacked/kivhost" demo >"$work/demo.txt" 2>&1 || { cat "$work/demo.txt"; fail "the unpacked kivhost demo"; }
"$unpacked/plcsim" --help | grep -q 'Usage: plcsim' || fail "the unpacked plcsim"
echo "ok: $(basename "$tarball")"

[ "$windows" = windows ] || exit 0

# Windows zip: no plcsim, which is Linux-only.
zip=$(ls "$work"/DAVODEV-*-win32.zip) || fail "no zip in $(ls "$work")"
top=$(basename "$zip" .zip)
listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
want="$top/DAVODEV.dll $top/DORVAK.dll $top/README.md $top/include/davodev.h $top/kivhost.exe "
[ "$listing" = "$want" ] || fail "zip holds: $listing"
unzip -q "$zip" -d "$work/windows"
"$check_dll" "$work/windows/$top/DAVODEV.dll" || fail "the zip's DAVODEV.dll"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
"$objdump" -f "$work/windows/$top/kivhost.exe" | grep -q 'file format pei-i386' || fail "kivhost.exe is not a 32-bit program"
echo "ok: $(basename "$zip")"
