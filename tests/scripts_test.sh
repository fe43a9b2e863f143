#!/usr/bin/env bash
# The scripts a new user meets first: set-up leaves standard output to the
# caller, and the network sandbox works for a user who is not root.
# Sends nothing: it only looks at the namespace the sandbox makes.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for mode in --cli ""; do
  out=$("$root/scripts/setup" $mode 2>/dev/null) || fail "scripts/setup $mode failed"
  [ -z "$out" ] || fail "scripts/setup $mode wrote to standard output: $out"
done

# A copy that any user may read, wherever this checkout lives.
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/scripts" "$copy/run" "$copy/tests/support"
cp "$root/scripts/sandbox" "$copy/scripts/"
cp "$root/run/local_dns.cpp" "$copy/run/"
cp "$root/tests/support/resolv.conf" "$copy/tests/support/"
chmod -R a+rX "$copy"
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if "${as_nobody[@]}" unshare --user --map-root-user --net true 2>/dev/null; then
  links=$("${as_nobody[@]}" "$copy/scripts/sandbox" -- ip -o link show 2>&1 | awk -F': ' '{print $2}')
  [ "$links" = lo ] || fail "the sandbox of a user who is not root: $links"
  addresses=$("${as_nobody[@]}" "$copy/scripts/sandbox" -- ip -o -4 addr show dev lo 2>&1)
  grep -q ' 223\.5\.5\.5/32 ' <<<"$addresses" || fail "no public resolver address on lo: $addresses"
else
  # This kernel lets no user make a namespace: the sandbox must say so.
  msg=$("${as_nobody[@]}" "$copy/scripts/sandbox" -- true 2>&1)
  [ $? = 2 ] && grep -q 'needs root' <<<"$msg" || fail "no clear refusal: $msg"
fi

if [ "$failures" = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
[ "$failures" = 0 ]
