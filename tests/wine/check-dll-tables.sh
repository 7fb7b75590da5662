#!/usr/bin/env bash
# The DLL a host loads: 32-bit PE, one export (KivMain, ordinal 1, no
# decoration), imports only from system DLLs and err from DORVAK.dll.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
tables=$("$objdump" -p "$dll")
fail() { echo "FAIL: $*"; echo "$tables" | sed -n '/Export Tables/,/PE File Base/p'; exit 1; }

"$objdump" -f "$dll" | grep -q 'file format pei-i386' || fail "not a 32-bit PE"

exports=$(echo "$tables" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' || true)
[ "$(echo "$exports" | grep -c .)" = 1 ] || fail "expected exactly one export, got: $exports"
echo "$exports" | grep -qE '^\s+\[\s*0\] KivMain$' || fail "the export is not KivMain"
echo "$tables" | grep -qE 'Ordinal Base 1' || fail "ordinal base is not 1"

allowed='^(KERNEL32|msvcrt|DORVAK)\.dll$'
for name in $(echo "$tables" | sed -n 's/^\s*DLL Name: //p'); do
  echo "$name" | grep -qiE "$allowed" || fail "imports from $name"
done
dorvak=$(echo "$tables" | sed -n '/DLL Name: DORVAK.dll/,/^$/p' | grep -E '^\s+[0-9a-f]+\s+[0-9]+\s+' | awk '{print $3}')
[ "$dorvak" = "err" ] || fail "imports from DORVAK.dll: $dorvak"
echo "ok: $dll"
