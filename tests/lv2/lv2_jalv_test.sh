#!/usr/bin/env bash
# The UI in a real host: Debian's jalv.gtk3 (which embeds X11 UIs through
# suil) on a dummy JACK server under a private Xvfb. The UI shows the preset
# jalv loaded exactly as `korvel draw` draws the same module (every pixel
# of the picture's area), and a component added with the mouse reaches
# the plug-in, which sends it back (jalv's --dump shows both directions).
# Skipped (77) where jalv, jackd, Xvfb, xdotool or ImageMagick are missing.
#   lv2_jalv_test.sh LV2_PATH KORVEL EXAMPLES WORK
set -uo pipefail
export LV2_PATH=$1
korvel=$2 examples=$3 work=$4

for tool in jalv.gtk3 jackd Xvfb xdotool xwininfo import compare convert stdbuf; do
  command -v $tool >/dev/null || { echo "lv2_jalv: skipped, no $tool"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
trap cleanup EXIT
fail() { echo "lv2_jalv: $*" >&2; echo "--- jalv:" >&2; head -c 3000 "$work/jalv.txt" >&2; exit 1; }
# Waits for a condition, a bounded number of tries.
wait_for() { for _ in $(seq 300); do eval "$1" && return 0; sleep 0.1; done; return 1; }

# A display and a JACK server of its own: tests run side by side.
number=$((1700 + $$ % 800))
export DISPLAY=:$number
Xvfb "$DISPLAY" -screen 0 1280x900x24 -ac -nolisten tcp >"$work/xvfb.txt" 2>&1 & pids+=($!)
wait_for "[[ -S /tmp/.X11-unix/X$number ]]" || fail "Xvfb did not start"
export JACK_DEFAULT_SERVER=korvel-jalv-$$
jackd -r -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$work/jack.txt" 2>&1 & pids+=($!)
stdbuf -oL -eL jalv.gtk3 --dump --preset urn:korvel:lv2:preset:echo urn:korvel:lv2:modular \
  >"$work/jalv.txt" 2>&1 </dev/null & pids+=($!)
ui_window() { xwininfo -root -tree 2>/dev/null | awk '/"Korvel Modular": \(\)/ { print $1; exit }'; }
wait_for '[[ -n $(ui_window) ]]' || fail "no UI window (jalv running the plug-in's UI)"
window=$(ui_window)
grep -q "^UI: *urn:korvel:lv2:modular#ui" "$work/jalv.txt" || fail "jalv did not pick the plug-in's UI"

# The preset, drawn by the UI exactly as korvel draws it.
"$korvel" draw "$examples/echo.korvel" -o "$work/draw.png" || fail "korvel draw failed"
size=$(identify -format "%wx%h" "$work/draw.png")
same() {
  import -window "$window" "$work/ui.png" 2>/dev/null &&
    convert "$work/ui.png" -crop "$size+0+0" +repage "$work/ui-crop.png" &&
    [[ $(compare -metric AE "$work/ui-crop.png" "$work/draw.png" "$work/diff.png" 2>&1) == 0 ]]
}
wait_for same || fail "the UI's picture differs from korvel draw in $(compare -metric AE "$work/ui-crop.png" "$work/draw.png" /dev/null 2>&1) pixels (see $work/diff.png)"

# A Lowpass Filter from the right-click menu, with the mouse: the menu opens
# at (100, 300); Filter is its eighth row, and its submenu, moved up to fit
# the view above the status line, starts at y 310.
# A second between steps: on a loaded machine the host's idle calls come
# late, and a click must meet the menu the press before it opened.
xdotool mousemove --window "$window" 100 300 click 3 sleep 1 \
  mousemove --window "$window" 150 435 sleep 1 click 1 sleep 1 \
  mousemove --window "$window" 300 319 sleep 1 click 1 sleep 1 mousemove 1200 880
# Sent, then sent back by the plug-in once its worker took it.
echoed() {
  awk '/^## UI => Plugin/ { from = "ui" } /^## Plugin => UI/ { from = "plugin" }
       /"label": "LP filter"/ { seen[from] = 1 } END { exit !(seen["ui"] && seen["plugin"]) }' "$work/jalv.txt"
}
wait_for echoed || fail "the added Lowpass did not travel UI -> plug-in -> UI"
import -window "$window" "$work/ui-added.png" 2>/dev/null
echo "lv2_jalv: jalv shows the UI; the preset drawn as korvel draws it ($size); an added Lowpass reached the plug-in and came back"
