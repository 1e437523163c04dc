#!/bin/bash
# scripts/run --prepare-only removes only a demo sandbox it made itself, and
# ends a demo server only when the pid file still names that demo's apache2.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
sleeper=""
cleanup() {
  [ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

prepare() { # demo folder
  PORTHOLD_DEMO_DIR=$1 PORTHOLD_DEMO_BUILD_DIR="$work/demo-build" PORTHOLD_DEMO_PORT=1 \
    "$root/scripts/run" --prepare-only >"$work/out" 2>&1
}

# Someone's own folder, named by mistake: refused, and left whole.
mkdir -p "$work/thesis/chapters"
echo "years of work" >"$work/thesis/chapters/one.tex"
if prepare "$work/thesis"; then fail "a folder without the marker was accepted"; fi
grep -q "not a demo sandbox" "$work/out" || fail "the refusal does not say why: $(cat "$work/out")"
[ "$(cat "$work/thesis/chapters/one.tex" 2>/dev/null)" = "years of work" ] || fail "the folder was touched"

# A link is never followed into.
ln -s "$work/thesis" "$work/link"
if prepare "$work/link"; then fail "a link was accepted as the demo folder"; fi
[ -f "$work/thesis/chapters/one.tex" ] || fail "the link's target was touched"

# A new folder is made with the marker, and may be remade.
prepare "$work/demo" || fail "a new sandbox could not be made: $(cat "$work/out")"
[ -f "$work/demo/.porthold-demo-sandbox" ] || fail "the sandbox has no marker"
[ -f "$work/demo/www/.htusers" ] || fail "the sandbox has no web tree"
touch "$work/demo/www/leftover"
prepare "$work/demo" || fail "the sandbox could not be remade: $(cat "$work/out")"
[ ! -e "$work/demo/www/leftover" ] || fail "the old sandbox was not removed"

# A stale pid file naming some other process: that process lives on.
sleep 60 &
sleeper=$!
mkdir -p "$work/demo/apache/run"
echo "$sleeper" >"$work/demo/apache/run/httpd.pid"
prepare "$work/demo" || fail "the sandbox with a stale pid file could not be remade: $(cat "$work/out")"
kill -0 "$sleeper" 2>/dev/null || fail "a process that is not the demo's apache2 was killed"

if [ "$failures" -gt 0 ]; then exit 1; fi
echo "run_sandbox_test: all passed"
