#!/usr/bin/env bash
# Starts albrivo in a real window under Xvfb, waits for the main window, saves a
# screenshot (PNG) under the build folder, checks that it is not blank, closes the window
# with Alt+F4 (handled by the toolkit, as the close box is) and checks the exit code.
#   main_window_screenshot.sh ALBRIVO TAVO_SITE ARTIFACT_DIR
# The demo site runs on a free port, so the start-up link fetch and the browser panel
# have their server and no error box stands in front of the window.
# Exit 77 (skipped) when xvfb-run or the X tools are missing.
set -euo pipefail
albrivo=$1
site=$2
artifacts=$3
. "$(dirname "$0")/window_session.sh"

if [ "${4:-}" != "--inside" ]; then
  for tool in xvfb-run xdotool import convert; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "SKIP: $tool is not installed (needs xvfb, xdotool, imagemagick)"
      exit 77
    fi
  done
  under_xvfb 120 1024x768x24 "$0" "$albrivo" "$site" "$artifacts"
fi

mkdir -p "$artifacts"
shot=$artifacts/main-window.png
log=$artifacts/main-window.log
start_demo_site "$artifacts/main-window-site.log" || exit 1
"$albrivo" --site "127.0.0.1:$port" >"$log" 2>&1 &
pid=$!
trap 'kill $pid $site_pid 2>/dev/null || true' EXIT

# The main window: the one of the main window's client size (762 x 544).
win=""
for _ in $(seq 300); do
  for id in $(xdotool search --onlyvisible --name "Albrivo" 2>/dev/null || true); do
    if xdotool getwindowgeometry "$id" 2>/dev/null | grep -q "Geometry: 762x544"; then
      win=$id
      break
    fi
  done
  [ -n "$win" ] && break
  sleep 0.1
done
if [ -z "$win" ]; then
  echo "FAIL: the main window did not appear within 30 s"
  cat "$log"
  exit 1
fi
sleep 1  # let the first paint and the browser panel's note arrive

import -window "$win" "$shot"
spread=$(convert "$shot" -format '%[fx:standard_deviation]' info:)
echo "screenshot $shot, standard deviation $spread"
if ! awk -v s="$spread" 'BEGIN { exit !(s > 0.02) }'; then
  echo "FAIL: the screenshot is blank"
  exit 1
fi

xdotool windowfocus --sync "$win" 2>/dev/null || xdotool windowfocus "$win"
xdotool key alt+F4
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: the window did not close on Alt+F4 within 10 s"
  exit 1
fi
trap 'kill $site_pid 2>/dev/null || true' EXIT
rc=0
wait "$pid" || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "FAIL: albrivo exited with $rc"
  cat "$log"
  exit 1
fi
echo "PASS: main window shown, captured and closed; exit code 0"
