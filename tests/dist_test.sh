#!/usr/bin/env bash
# What the package installs beside the program: the alert rules (promtool's
# check and their unit tests), the service and its timer (systemd-analyze
# verify, and the service's exposure at most 2.5), the man page against
# --help (every option in both), and the bash completion. Sends nothing.
#   dist_test.sh ZELKOR MAN_PAGE PROMTOOL
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
zelkor=$1 man_page=$2 promtool=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The alert rules.
if [ -x "$promtool" ]; then
  (cd "$root/dist" && "$promtool" check rules zelkor-alerts.yml >/dev/null) ||
    fail "promtool check rules"
  (cd "$root/dist" && "$promtool" test rules zelkor-alerts.test.yml) ||
    fail "promtool test rules"
else
  skip "alert rules: no promtool at $promtool"
fi

# The units, their command the built program's.
if command -v systemd-analyze >/dev/null; then
  sed "s|/usr/bin/zelkor|$zelkor|" "$root/dist/zelkor.service" >"$scratch/zelkor.service"
  cp "$root/dist/zelkor.timer" "$scratch/"
  out=$(systemd-analyze verify --man=no "$scratch/zelkor.service" "$scratch/zelkor.timer" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify said: $out"
  level=$(systemd-analyze security --offline=true --threshold=25 \
    "$scratch/zelkor.service" 2>&1 | sed -n 's/.*Overall exposure level for zelkor.service: //p')
  systemd-analyze security --offline=true --threshold=25 "$scratch/zelkor.service" >/dev/null 2>&1 ||
    fail "zelkor.service is exposed above 2.5: $level"
  echo "zelkor.service exposure: $level"
else
  skip "units: no systemd-analyze"
fi

# Every option of --help in the page, and every option of the page in
# --help.
if [ -f "$man_page" ]; then
  "$zelkor" --help | sed -n '/^Options:/,/^$/p' | grep -oE '(^|[ ,])--?[a-z][a-z-]*' |
    tr -d ' ,' | sort -u >"$scratch/help"
  grep -oE '\\fB--?[a-z][a-z-]*' "$man_page" | sed 's/\\fB//' | sort -u >"$scratch/man"
  [ -s "$scratch/help" ] || fail "no option found in --help"
  missing=$(comm -23 "$scratch/help" "$scratch/man" | tr '\n' ' ')
  extra=$(comm -13 "$scratch/help" "$scratch/man" | tr '\n' ' ')
  [ -z "$missing" ] || fail "options of --help not in the man page: $missing"
  [ -z "$extra" ] || fail "options of the man page not in --help: $extra"
else
  skip "man page: $man_page was not built (no scdoc)"
fi

# The completion, as bash-completion loads it.
completions=/usr/share/bash-completion/bash_completion
if [ -f "$completions" ]; then
  complete_words() { # words...: what Tab offers for the last one
    bash -c 'source "$1"; source "$2"; shift 2
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _zelkor
      printf "%s\n" "${COMPREPLY[@]}"' _ "$completions" "$root/dist/zelkor.bash" "$@" |
      sort | tr '\n' ' '
  }
  cd "$scratch" && touch run.json list.txt
  [ "$(complete_words zelkor --auth)" = "--authority --authority-max --authority-rate " ] ||
    fail "completion of --auth: $(complete_words zelkor --auth)"
  [ "$(complete_words zelkor --authority '')" = "all failed off " ] ||
    fail "completion of --authority's values: $(complete_words zelkor --authority '')"
  [ "$(complete_words zelkor -t aa)" = "AAAA " ] ||
    fail "completion of -t aa: $(complete_words zelkor -t aa)"
  [ "$(complete_words zelkor --json r)" = "run.json " ] ||
    fail "completion of --json's file: $(complete_words zelkor --json r)"
  [ "$(complete_words zelkor report '')" = "run.json " ] ||
    fail "completion of report's runs: $(complete_words zelkor report '')"
else
  skip "completion: no bash-completion"
fi

[ "$failures" = 0 ] || { echo "dist_test: $failures failed" >&2; exit 1; }
echo "dist_test: passed"
