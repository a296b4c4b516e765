#!/usr/bin/env bash
# tools/check-includes.sh against a small tree that keeps the rules, then
# with one violation planted at a time.
#   tests/check_includes_test.sh <path to check-includes.sh>
set -uo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree"/control/base "$tree"/ui "$tree"/web "$tree"/tftp
printf '#include <cstring>\n#include "platform/platform.h"\n' >"$tree"/control/base/text.h
printf '#include "control/base/text.h"\n' >"$tree"/ui/ui.h
printf '#include "ui/ui.h"\n#include "http.h"\n' >"$tree"/web/http.cpp
printf '#include "web/http.h"\n#include <atomic>\n' >"$tree"/tftp/session.cpp
printf '#include "tftp/tftp.h"\n#  include <mutex>\n#include "control/base/text.h"\n' >"$tree"/control/sequence.cpp

failures=0
expect() {  # expect <pass|fail> <layers 0|1> <what>: pass is exit 0, fail exit 1
    local output rc want=0
    [ "$1" = pass ] || want=1
    output=$(ULX_CHECK_LAYERS=$2 "$check" "$tree" 2>&1)
    rc=$?
    [ $rc = $want ] || { echo "FAIL ($3): expected $1 with layers=$2, exit $rc: $output"; failures=$((failures + 1)); }
}
expect pass 1 "a tree that keeps every rule"

# file | planted line | layer check | outcome
while IFS='|' read -r file line layers outcome; do
    cp "$tree/$file" "$tree/$file.orig" 2>/dev/null || : >"$tree/$file.orig"
    echo "$line" >>"$tree/$file"
    expect "$outcome" "$layers" "$file: $line"
    mv "$tree/$file.orig" "$tree/$file"
done <<'CASES'
ui/ui.h|#include <sys/socket.h>|0|fail
web/http.cpp|#include <windows.h>|0|fail
control/sequence.cpp|#include <stdint.h>|0|fail
tftp/session.cpp|#include "platform/posix/thread_queue.h"|0|fail
web/http.cpp|#include "tools/driver/protocol_driver.h"|0|fail
ui/ui.h|#include "web/http.h"|0|pass
ui/ui.h|#include "web/http.h"|1|fail
control/base/text.h|#include "control/globals.h"|1|fail
web/http.cpp|#include "tftp/tftp.h"|1|fail
tftp/session.cpp|#include "control/base/text.h"|1|pass
CASES

# What a violation reports: the file and line.
echo '#include <unistd.h>' >>"$tree"/web/http.cpp
output=$("$check" "$tree")
grep -q '^web/http.cpp:3: <unistd.h>' <<<"$output" || { echo "FAIL: no file:line for <unistd.h>"; failures=$((failures + 1)); }

[ $failures = 0 ] && echo "all cases passed"
exit $((failures > 0))
