#!/usr/bin/env bash
# check_first_contact.sh <version> <program>...: what a new user tries
# first. Every program answers --help with exit 0 and text on standard
# output, and --version with the project version ("name <version>"; the
# utilities print it as four fields, "name 10.04.00.00"); svcstop takes no
# arguments, prints nothing and exits 0.
set -uo pipefail
version=$1
shift
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
IFS=. read -r major minor patch <<<"$version"
four=$(printf '%02d.%02d.%02d.00' "$major" "$minor" "$patch")
export KAVEX_SERVICE_MANAGER=none
for program in "$@"; do
  name=$(basename "$program")
  if [ "$name" = svcstop ]; then
    out=$("$program" --help 2>&1 </dev/null); rc=$?
    [ "$rc" -eq 0 ] && [ -z "$out" ] || fail "svcstop --help: exit $rc, output '$out'"
    continue
  fi
  help=$(timeout 20 "$program" --help 2>/dev/null </dev/null); rc=$?
  [ "$rc" -eq 0 ] || fail "$name --help exits $rc"
  [ -n "$help" ] || fail "$name --help prints nothing on standard output"
  got=$(timeout 20 "$program" --version 2>&1 </dev/null); rc=$?
  [ "$rc" -eq 0 ] || fail "$name --version exits $rc"
  case $name in
    tapdump|batchcap|rxprobe|netroster|sendprobe)
      grep -qF "$four" <<<"$got" || fail "$name --version: '$got'" ;;
    *)
      [ "$got" = "$name $version" ] || fail "$name --version: '$got'" ;;
  esac
  case $name in
    regsvr) grep -q '^usage: regsvr' <<<"$help" || fail "regsvr --help: '$help'" ;;
    velto-sim)
      for word in 'switch 02.C4.7D' 'flap=P:MS' 'silent=FROM:TO' 'dest '; do
        grep -qF -- "$word" <<<"$help" || fail "velto-sim --help does not explain '$word'"
      done ;;
    kavex-opc-server)
      for word in /RegServer /UnregServer /Service; do
        grep -qF -- "$word" <<<"$help" || fail "kavex-opc-server --help lacks $word"
      done ;;
  esac
done
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "first contact: $# programs answer --help and --version"
