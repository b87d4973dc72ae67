#!/usr/bin/env bash
# Checks the shipped driver image: a native-subsystem image entered at DriverEntry, importing
# only from ntoskrnl.exe and hal.dll, with no DLL flag and no export table, carrying the version
# marker in its initialised data.
set -u
image="$1"
objdump=x86_64-w64-mingw32-objdump
fail=0
check() {
    if eval "$2"; then echo "ok   - $1"; else echo "FAIL - $1"; fail=1; fi
}
[ -f "$image" ] || { echo "FAIL - $image does not exist"; exit 1; }
headers=$($objdump -p "$image")
characteristics=$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")
subsystem=$(awk '/^Subsystem/ {print $2; exit}' <<<"$headers")
entry=$(awk '/^AddressOfEntryPoint/ {print $2; exit}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2; exit}' <<<"$headers")
driver_entry=$(x86_64-w64-mingw32-nm "$image" | awk '$3 == "DriverEntry" {print $1}')
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u | tr '\n' ' ')
export_rva=$(awk '/Export Directory/ {print $3; exit}' <<<"$headers")

check "native subsystem (1), got $subsystem" '[ "$((16#$subsystem))" -eq 1 ]'
check "no IMAGE_FILE_DLL flag in $characteristics" '[ $(( characteristics & 0x2000 )) -eq 0 ]'
check "entry point is DriverEntry" \
    '[ -n "$driver_entry" ] && [ "$((16#$driver_entry))" -eq "$((16#$base + 16#$entry))" ]'
check "no export table" '[ "$((16#${export_rva:-0}))" -eq 0 ] && ! grep -q "There is an export table" <<<"$headers"'
check "imports only ntoskrnl.exe and hal.dll (got: $dlls)" \
    '[ -n "$dlls" ] && ! grep -qvE "^(ntoskrnl\.exe|hal\.dll)$" <(tr " " "\n" <<<"$dlls" | sed "/^$/d")'
data=$(mktemp)
x86_64-w64-mingw32-objcopy -O binary --only-section=.data "$image" "$data"
check "marker \"Drv Ver:2.0.1.20\" in .data" 'grep -qa "Drv Ver:2.0.1.20" "$data"'
rm -f "$data"
exit $fail
