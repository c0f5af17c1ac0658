#!/usr/bin/env bash
# Writes examples/sounds/pluck.wav, the sound the sampler example plays: a
# plucked string at middle C (261.63 Hz, the Sampler's default root), one
# second, mono, 16-bit, 44.1 kHz, made by sox's pluck synthesis. sox is in
# scripts/setup --full; the file is kept in the repository, so nothing else
# needs it.
set -euo pipefail
cd "$(dirname "$0")"
sox -n -r 44100 -b 16 -c 1 sounds/pluck.wav synth 1.0 pluck C4 vol 0.7 fade q 0.002 1.0 0.6
