#!/usr/bin/env bash
# The exes agree with the Windows versions they claim: the PE header names
# Windows 7 (6.1) as the oldest system and subsystem, and every imported
# function is one that Windows 7 has (tests/windows7_imports.txt).
#   tests/windows_pe_check.sh OBJDUMP EXE...
set -euo pipefail
objdump=$1
shift
allowed="$(dirname "$0")/windows7_imports.txt"
status=0
for exe in "$@"; do
  header=$("$objdump" -p "$exe")
  versions=$(awk '$1 ~ /^(Major|Minor)(OSystem|Subsystem)Version$/ {printf "%s ", $2}' <<<"$header")
  [ "$versions" = "6 1 6 1 " ] || { echo "FAIL: $exe: OS and subsystem versions '$versions', not 6.1 and 6.1"; status=1; }
  # "DLL Name: X" opens a DLL's list; its functions follow as
  # "<address> <hint> <name>" until the next list.
  imports=$(awk '/^\tDLL Name: / {dll = tolower($3); next}
                 dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ {print dll, $3}
                 /^$/ {dll = ""}' <<<"$header" | sort -u)
  [ -n "$imports" ] || { echo "FAIL: $exe: no imports read"; status=1; }
  while read -r dll fn; do
    grep -Eq "^$dll( .*)? $fn( |\$)" "$allowed" || { echo "FAIL: $exe imports $dll $fn, not known in Windows 7"; status=1; }
  done <<<"$imports"
  [ $status = 0 ] && echo "$exe: Windows 6.1, $(wc -l <<<"$imports") imports known in Windows 7"
done
exit $status
