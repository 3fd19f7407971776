#!/usr/bin/env bash
# scripts/demo as a newcomer runs it, without a display: "Search" pressed in the real
# window (through the package test's window driver) finds "Annex" behind the private
# namespace's virtual link and adds it, working, to the list; the demo warns of no
# missing runtime folder, ends when the window closes and leaves nothing behind.
# Needs root (the demo's private network namespaces); skipped (77) otherwise.
set -u
root="$1" build="$2"
if [ "$(id -u)" -ne 0 ] || ! unshare --net true 2>/dev/null; then
  echo "needs root and network namespaces"
  exit 77
fi
work="$(mktemp -d)"
demo=""
trap 'kill $demo 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# A sanitizer build's program wants its sanitizer runtime loaded before any other
# library, the preloaded driver included.
preload="$build/lib/tessaline-add-driver.so"
runtime="$(ldd "$build/bin/tessaline-setup" | awk '$1 ~ /^lib(a|t)san\.so/ { print $3; exit }')"
[ -n "$runtime" ] && preload="$runtime $preload"
QT_QPA_PLATFORM=offscreen TESSALINE_DEMO_BUILD="$build" TESSALINE_DEMO_NO_BUILD=1 TESSALINE_DEMO_NO_VIEWER=1 \
  TESSALINE_DEMO_PRELOAD="$preload" TESSALINE_DRIVER_SEARCH=Annex \
  TESSALINE_DRIVER_SHOT="$work/window.png" \
  setsid "$root/scripts/demo" >"$work/demo.log" 2>&1 &
demo=$!
fail=0
for _ in $(seq 1 600); do
  grep -q '^driver: saved' "$work/demo.log" && break
  kill -0 "$demo" 2>/dev/null || break
  sleep 0.1
done
grep -q '^driver: found Annex, Device OK' "$work/demo.log" || { echo "the search did not add Annex"; fail=1; }
[ -s "$work/window.png" ] || { echo "no picture of the window"; fail=1; }
grep -i 'XDG_RUNTIME_DIR' "$work/demo.log" | grep -v 'export XDG_RUNTIME_DIR=' && { echo "a runtime folder warning"; fail=1; }

# Closing the window (SIGTERM to the program) ends the demo, which stops what it started.
setup="$(pgrep -s "$demo" -x tessaline-setup)"
[ -n "$setup" ] && kill "$setup"
for _ in $(seq 1 100); do
  kill -0 "$demo" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$demo" 2>/dev/null; then
  echo "the demo did not end with its window"; fail=1
fi
wait "$demo" 2>/dev/null
# (The private session's watcher notices its owner is gone within a second or so.)
for _ in $(seq 1 50); do
  left="$(ps -e -o pid=,sid=,stat= | awk -v s="$demo" '$2 == s && $3 !~ /^Z/ { print $1 }')"  # zombies are gone
  [ -z "$left" ] && break
  sleep 0.1
done
[ -z "$left" ] || { echo "left running: $left"; fail=1; }
# Its temporary folder (the private session's runtime folder is inside it) is gone.
folder="$(sed -n 's|^.*export XDG_RUNTIME_DIR=\(.*\)/run$|\1|p' "$work/demo.log")"
[ -n "$folder" ] && [ ! -e "$folder" ] || { echo "left its temporary folder ${folder:-(not named)}"; fail=1; }
[ "$fail" -eq 0 ] || cat "$work/demo.log"
exit $fail
