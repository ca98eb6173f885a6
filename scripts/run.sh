#!/usr/bin/env bash
# Starts Tavrin. Without a display it runs Tavrin under Xvfb, takes a screenshot and says where it is.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
BIN="$BUILD/tavrin"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$BIN"
fi

echo "run: no display found; starting Tavrin under Xvfb instead."
num=90
while [ -e "/tmp/.X11-unix/X$num" ] || [ -e "/tmp/.X$num-lock" ]; do num=$((num + 1)); done
Xvfb ":$num" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=":$num"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$num" ] && break; sleep 0.1; done

"$BIN" &
app=$!
if ! xdotool search --sync --onlyvisible --name '^Tavrin$' >/dev/null 2>&1; then
  echo "run: the Tavrin window did not appear" >&2
  kill "$app" 2>/dev/null || true
  exit 1
fi
sleep 1.5
shot="$BUILD/screenshot.png"
import -window root "$shot"
echo "run: Tavrin is running under Xvfb on $DISPLAY; screenshot saved to $(realpath "$shot")"
kill -TERM "$app"
wait "$app" || true
