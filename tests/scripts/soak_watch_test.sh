#!/usr/bin/env bash
# scripts/soak-watch against two processes of its own: one that stays flat must pass,
# one that keeps opening descriptors after the warm-up must fail and be named, and one
# that ends early must fail.
set -u
watch="$1/scripts/soak-watch"
work="$(mktemp -d)"
flat="" grow="" short=""
trap 'rm -rf "$work"; kill $flat $grow $short 2>/dev/null; wait 2>/dev/null' EXIT
fail=0
sleep 60 & flat=$!
"$watch" 6 1 2 "$work/flat.log" flat=$flat || { echo "a flat process failed the watch"; fail=1; }
bash -c 'sleep 3; for fd in $(seq 20 40); do eval "exec $fd</dev/null"; sleep 0.2; done; sleep 60' & grow=$!
if "$watch" 8 1 2 "$work/grow.log" grow=$grow 2>"$work/grow.err"; then
  echo "growing descriptors passed the watch"; fail=1
fi
grep -q "grow fds grew" "$work/grow.err" || { echo "the growth was not named:"; cat "$work/grow.err"; fail=1; }
sleep 2 & short=$!
if "$watch" 6 1 2 "$work/short.log" short=$short 2>"$work/short.err"; then
  echo "a process that ended early passed the watch"; fail=1
fi
grep -q "short (pid $short) is gone" "$work/short.err" || { echo "the early end was not named"; fail=1; }
exit $fail
