#!/usr/bin/env bash
# The scripts a new user meets first: set-up leaves standard output to the
# caller, says what to do where it cannot install, and keeps each user's
# log apart; the network sandbox works for a user who is not root.
# Sends nothing: it only looks at the namespace the sandbox makes, and
# set-up's package tools are stand-ins that install nothing.
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
cp "$root/tests/support/resolv.conf" "$root/tests/support/hosts" "$copy/tests/support/"
cp "$root/scripts/setup" "$copy/scripts/"
chmod -R a+rX "$copy"
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# Set-up where every package seems missing: a PATH of the few tools it uses,
# dpkg-query saying "not installed" and apt-get doing nothing; with sudo
# (a stand-in that runs apt-get and does nothing else) or without.
tools() { # dir, with_sudo
  mkdir -p "$1"
  for t in bash id grep sort comm find tail tee chmod rm locale cat; do
    ln -sf "$(command -v "$t")" "$1/$t"
  done
  printf '#!/bin/sh\nexit 1\n' >"$1/dpkg-query"
  printf '#!/bin/sh\nexit 0\n' >"$1/apt-get"
  [ "$2" = 0 ] || printf '#!/bin/sh\ncase "$1" in apt-get) exec "$@" ;; tee) cat >/dev/null ;; esac\n' >"$1/sudo"
  chmod 755 "$1"/*
}
tools "$copy/bin-sudo" 1
tools "$copy/bin-nosudo" 0
mkdir -m 1777 "$copy/tmp"
chmod a+rx "$copy"
set_up() { # PATH, then who: setup --cli's status and standard error
  "${@:2}" env -i PATH="$1" TMPDIR="$copy/tmp" "$copy/scripts/setup" --cli 2>&1
}
msg=$(set_up "$copy/bin-nosudo" "${as_nobody[@]}")
[ $? != 0 ] && [ "$(wc -l <<<"$msg")" = 1 ] && grep -q 'as root' <<<"$msg" ||
  fail "set-up without sudo: $msg"
# One user's run first: another user's later run has a log of its own.
msg=$(set_up "$copy/bin-sudo" setpriv --reuid=65533 --regid=65533 --clear-groups) ||
  fail "set-up as a first user: $msg"
msg=$(set_up "$copy/bin-sudo" "${as_nobody[@]}") || fail "set-up as a second user: $msg"
grep -q "zelkor-setup-nobody.log" <<<"$msg" || fail "the second user's log: $msg"
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

# Where no namespace can be made (a chroot), the refusal carries the cause.
mkdir -p "$copy/bin-chroot"
printf '#!/bin/sh\necho "unshare: cannot change root filesystem propagation: Invalid argument" >&2\nexit 1\n' >"$copy/bin-chroot/unshare"
chmod 755 "$copy/bin-chroot/unshare"
msg=$(PATH="$copy/bin-chroot:$PATH" "$copy/scripts/sandbox" -- true 2>&1)
[ $? = 2 ] && grep -q 'root filesystem propagation: Invalid argument' <<<"$msg" ||
  fail "the sandbox's refusal hides its cause: $msg"

# The test command's summary names each failed suite with a log of its own.
mkdir -p "$copy/tree/Testing/Temporary"
printf '1/2 Testing: a_test\nOutput:\nwhy a failed\n2/2 Testing: b_test\nOutput:\nfine\n' \
  >"$copy/tree/Testing/Temporary/LastTest.log"
summary=$(printf '50%% tests passed, 1 tests failed out of 2\n\nThe following tests FAILED:\n\t  1 - a_test (Failed)\n' |
  "$root/scripts/suite-logs" asan "$copy/tree" "$copy/logs")
[ "$summary" = "failed: asan/a_test (log: $copy/logs/asan/a_test.log)
totals 1 1" ] && grep -q 'why a failed' "$copy/logs/asan/a_test.log" ||
  fail "the failed suite and its log: $summary"

if [ "$failures" = 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
[ "$failures" = 0 ]
