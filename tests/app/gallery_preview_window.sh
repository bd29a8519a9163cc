#!/usr/bin/env bash
# The gallery in a real window under Xvfb: starts the demo site and albrivo against it,
# downloads the 12-photo album by clicking the download button, waits for the end of the
# run (12 photo files and the usage report at the site), checks that the thumbnail area
# is not blank, clicks the third thumbnail, checks that the preview window opened, steps
# with ">>", hides the preview with a click on its surface, saves screenshots of both
# windows as PNGs, checks that the idle window uses (almost) no processor time for 10 s,
# and closes it with Alt+F4.
#   gallery_preview_window.sh ALBRIVO TAVO_SITE ARTIFACT_DIR
# Exit 77 (skipped) when xvfb-run, the X tools or ImageMagick are missing.
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
  under_xvfb 150 1280x1024x24 "$0" "$albrivo" "$site" "$artifacts"
fi

mkdir -p "$artifacts"
log=$artifacts/gallery.log
: >"$log"
# Album folders are made beside the executable: run a copy in a scratch folder.
work=$(mktemp -d)
cp "$albrivo" "$work/albrivo"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "windows on $DISPLAY:"
  for id in $(xdotool search --onlyvisible --name "" 2>/dev/null || true); do
    echo "  $(xdotool getwindowname "$id" 2>/dev/null) $(xdotool getwindowgeometry "$id" 2>/dev/null | grep Geometry)"
  done
  cat "$log"
  exit 1
}

# ---- the demo site on a loopback port of its own ----
start_demo_site "$artifacts/gallery-site.log" --report-log "$work/report.log" || exit 1
pids+=("$site_pid")

# ---- the main window ----
"$work/albrivo" --site "127.0.0.1:$port" >>"$log" 2>&1 &
app=$!
pids+=($app)
# The window of the main window's client size, 762 x 544 (its client area: the
# coordinates below are the layout's client coordinates).
# Names are compared through getwindowname, which reads the UTF-8 title ("预览图片");
# the name search of xdotool does not match it.
find_window() { # find_window NAME GEOMETRY
  local id
  for id in $(xdotool search --onlyvisible --name "" 2>/dev/null || true); do
    if xdotool getwindowname "$id" 2>/dev/null | grep -qF "$1" &&
      xdotool getwindowgeometry "$id" 2>/dev/null | grep -q "Geometry: $2"; then
      echo "$id"
      return 0
    fi
  done
  return 1
}
main_window() { win=$(find_window "Albrivo" 762x544); }
wait_for 30 main_window || fail "the main window did not appear within 30 s"
sleep 0.5

# btnDownload (624, 6, 97 x 25) inside pnl1 at (8, 8): its centre.
xdotool mousemove --window "$win" $((8 + 624 + 48)) $((8 + 6 + 12)) click 1
photos_done() { [ "$(find "$work" -name '*.jpg' | wc -l)" -ge 12 ]; }
wait_for 60 photos_done || fail "the album's 12 photos did not arrive within 60 s"
report_sent() { [ -s "$work/report.log" ]; }
wait_for 30 report_sent || fail "the usage report did not arrive within 30 s"
sleep 1  # the last steps of the run ("处理完毕") and the repaint

main_shot=$artifacts/main-window-after-run.png
import -window "$win" "$main_shot"
# Panel1 (192, 48, 553 x 457): the first row of thumbnails must show pictures.
spread=$(convert "$main_shot" -crop 530x80+200+60 +repage -format '%[fx:standard_deviation]' info:)
echo "main window $main_shot, thumbnail row standard deviation $spread"
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the thumbnail area is blank"

# ---- the preview window ----
# Image3: column 2 of row 0, at (16 + 88 * 2, 16) inside Panel1, 75 x 75.
xdotool mousemove --window "$win" $((192 + 16 + 176 + 37)) $((48 + 16 + 37)) click 1
preview_window() { preview=$(find_window "预览图片" 910x620); }
wait_for 10 preview_window || fail "the preview window did not open within 10 s"
sleep 0.5
preview_shot=$artifacts/preview-window.png
import -window "$preview" "$preview_shot"
# Button1 ">>" (792, 240, 65 x 57).
xdotool mousemove --window "$preview" $((792 + 32)) $((240 + 28)) click 1
sleep 0.5
next_shot=$artifacts/preview-window-next.png
import -window "$preview" "$next_shot"
for shot in "$preview_shot" "$next_shot"; do
  spread=$(convert "$shot" -crop 500x500+170+20 +repage -format '%[fx:standard_deviation]' info:)
  echo "preview $shot, photo area standard deviation $spread"
  awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the preview shows no photo"
done
changed=$(compare -metric AE "$preview_shot" "$next_shot" null: 2>&1 || true)
echo "pixels changed by \">>\": $changed"
[ "${changed%% *}" != "0" ] || fail "\">>\" did not change the photo"

# A click on the preview's own surface, away from its controls, hides it.
xdotool mousemove --window "$preview" 60 560 click 1
preview_hidden() { ! find_window "预览图片" 910x620 >/dev/null; }
wait_for 10 preview_hidden || fail "a click on the preview's surface did not hide it"

# ---- idle: 10 s without input use under 0.2 s of processor time ----
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$app/stat"; }
hz=$(getconf CLK_TCK)
before=$(cpu_ticks)
sleep 10
after=$(cpu_ticks)
used=$(awk -v a="$after" -v b="$before" -v hz="$hz" 'BEGIN { printf "%.3f", (a - b) / hz }')
echo "idle for 10 s: $used s of processor time"
awk -v u="$used" 'BEGIN { exit !(u < 0.2) }' || fail "the idle window used $used s of processor time"

# The main window after the idle time: the link pane shows a rotated caption.
idle_shot=$artifacts/main-window-idle.png
import -window "$win" "$idle_shot"

# ---- close ----
xdotool windowfocus --sync "$win" 2>/dev/null || xdotool windowfocus "$win"
xdotool key alt+F4
gone() { ! kill -0 "$app" 2>/dev/null; }
wait_for 10 gone || fail "the window did not close on Alt+F4 within 10 s"
rc=0
wait "$app" || rc=$?
[ "$rc" -eq 0 ] || fail "albrivo exited with $rc"
echo "PASS: album downloaded in the window, thumbnails shown, preview opened and stepped, idle, closed"
