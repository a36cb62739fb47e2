#!/usr/bin/env bash
# Runs tools/demo headless with an already-built tree and checks that it
# named its folder and that the transcript there shows the Finish page.
# Usage: check_demo.sh DEMO BUILD-DIR OUT-DIR
set -euo pipefail
demo=$1 build=$2 out=$3
if [ "$(id -u)" -ne 0 ]; then
    echo "check_demo: skipped, the demo's namespaces need root"
    exit 77
fi
rm -rf "$out"
status=0
output=$(bash "$demo" --no-bootstrap --no-build --headless --build-dir "$build" --out "$out" 2>&1) || status=$?
echo "$output"
fail() { echo "check_demo: $*"; exit 1; }
[ "$status" -eq 0 ] || fail "tools/demo exited with $status"
[ "$(echo "$output" | tail -n 1 | sed 's/^ *//')" = "$out" ] || fail "the demo did not name $out at the end"
grep -q '^pages: .* -> Finish$' "$out/transcript.txt" || fail "no Finish page in $out/transcript.txt"
shots=$(ls "$out"/shots/*.png | wc -l)
[ "$shots" -ge 5 ] || fail "only $shots screenshots in $out/shots"
echo "check_demo: passed"
