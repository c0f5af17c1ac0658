#!/usr/bin/env bash
# The bundle through Debian's LV2 tools, as a user runs them:
#   lv2_tools_test.sh LV2_DIR WORK_DIR
# lv2ls lists the plug-in, lv2info shows its ports (the sidechain and the
# latency among them), its class and author without a warning, and the
# module and status properties a UI reads and writes,
# lv2_validate finds the Turtle right,
# lv2apply renders a four-channel WAV (main and sidechain pairs) through the
# default module (the main pair unchanged), lv2bench runs it.
set -uo pipefail
export LV2_PATH=$1
work=$2
uri=urn:korvel:lv2:modular
fail() { echo "lv2_tools: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"

lv2ls | grep -qx "$uri" || fail "lv2ls does not list $uri: $(lv2ls | tr '\n' ' ')"

# The LV2 core bundle on the path too, as on a real system: it names
# the plug-in classes.
LV2_PATH=$LV2_PATH:/usr/lib/lv2 lv2info "$uri" >"$work/info.txt" 2>"$work/info.err" ||
  fail "lv2info failed: $(cat "$work/info.err")"
[[ -s $work/info.err ]] && fail "lv2info warned: $(cat "$work/info.err")"
for want in "Name: *Korvel Modular" "Class: *Utility Plugin" "Author: *The Korvel Modular project" \
            "Has latency: *yes, reported by port 33" "Symbol: *in_left" "Symbol: *out_right" "Symbol: *param1$" \
            "Symbol: *param25" "Name: *Parameter 25" "Symbol: *midi_in" "Symbol: *sidechain_left" \
            "Symbol: *sidechain_right" "lv2core#isSideChain" "Symbol: *latency" "Passthrough" "Ducker"; do
  grep -q "$want" "$work/info.txt" || fail "lv2info shows no '$want'"
done
# The UI, in its own library of the bundle, as an X11 UI.
grep -A3 "^	UIs:" "$work/info.txt" >"$work/ui.txt"
grep -q "$uri#ui$" "$work/ui.txt" || fail "lv2info lists no UI $uri#ui"
grep -q "Class: *http://lv2plug.in/ns/extensions/ui#X11UI" "$work/ui.txt" || fail "the UI is not an X11 UI"
grep -q "Binary: .*/korvel.lv2/korvel_ui.so$" "$work/ui.txt" || fail "the UI's binary is not korvel_ui.so"
[[ -f $LV2_PATH/korvel.lv2/korvel_ui.so ]] || fail "korvel_ui.so is not in the bundle"
ports=$(grep -c '^	Port [0-9]*:' "$work/info.txt")
[[ $ports == 34 ]] || fail "lv2info shows $ports ports, not 34"

# The module and status properties a UI uses, as lilv reads the bundle:
# lv2info -p writes the plug-in's description (it prints no parameters).
lv2info -p "$work/description.ttl" "$uri" >/dev/null 2>&1 || fail "lv2info -p failed"
description=$(sordi -i turtle -o ntriples "file://$work/description.ttl" 2>/dev/null)
for want in "patch#writable> <$uri#module>" "patch#readable> <$uri#module>" "patch#readable> <$uri#status>" \
            "patch#writable> <urn:korvel:lv2:module-file>"; do
  grep -qF "<$uri> <http://lv2plug.in/ns/ext/$want" <<<"$description" || fail "lv2info -p shows no '$want'"
done

# The Turtle against the LV2 specifications' own rules.
validation=$(cd "$LV2_PATH/korvel.lv2" && lv2_validate manifest.ttl korvel.ttl presets.ttl 2>&1)
grep -q "Found 0 errors" <<<"$validation" || fail "lv2_validate: $(grep -A3 '^error' <<<"$validation" | head -20)"

# A second of stereo noise and a sidechain of other noise through the
# default module: lv2apply maps a file's channels onto the audio inputs in
# order, so the file has four, and the main pair comes back unchanged.
sox -q -n -r 44100 -c 2 -b 32 -e floating-point "$work/in.wav" synth 1 whitenoise vol 0.5 &&
  sox -q -n -r 44100 -c 2 -b 32 -e floating-point "$work/key.wav" synth 1 pinknoise vol 0.5 &&
  sox -q -M "$work/in.wav" "$work/key.wav" "$work/quad.wav" || fail "sox could not make the input"
lv2apply -i "$work/quad.wav" -o "$work/out.wav" "$uri" 2>"$work/apply.err" ||
  fail "lv2apply failed: $(cat "$work/apply.err")"
difference=$(sox -q -m -v 1 "$work/in.wav" -v -1 "$work/out.wav" -n stat 2>&1 |
  awk '/Maximum amplitude/ {print $3}')
[[ $difference == 0.000000 ]] || fail "lv2apply's output differs from its input by up to $difference"
[[ $(soxi -s "$work/out.wav") == 44100 ]] || fail "lv2apply wrote $(soxi -s "$work/out.wav") frames"

bench=$(lv2bench -n 44100 "$uri" 2>"$work/bench.err") || fail "lv2bench failed: $(cat "$work/bench.err")"
grep -q "$uri" <<<"$bench" || fail "lv2bench did not run the plug-in: $bench $(cat "$work/bench.err")"
echo "lv2_tools: lv2ls, lv2info ($ports ports), lv2_validate, lv2apply, lv2bench: $bench"
