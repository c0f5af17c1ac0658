#!/usr/bin/env python3
"""Writes a melody for examples/karplus-strong.korvel: a type 0 Standard MIDI
File at 100 BPM, an arpeggio rising and falling over four seconds, each note
plucked and held for most of its beat.

    examples/make-karplus-strong-midi.py out/karplus-strong.mid
"""
import struct
import sys

PPQ = 480


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


events = [(0, b"\xff\x51\x03" + struct.pack(">I", round(60_000_000 / 100))[1:])]
# Eighth notes: A minor, up two octaves and back, then a held low A.
pitches = [45, 52, 57, 60, 64, 69, 72, 76, 72, 69, 64, 60, 57, 52]
for i, pitch in enumerate(pitches):
    start = i * PPQ // 2
    events.append((start, bytes([0x90, pitch, 100])))
    events.append((start + PPQ * 7 // 16, bytes([0x80, pitch, 0])))
events.append((len(pitches) * PPQ // 2, bytes([0x90, 33, 110])))
events.append((len(pitches) * PPQ // 2 + 2 * PPQ, bytes([0x80, 33, 0])))

data, now = b"", 0
for tick, payload in sorted(events, key=lambda e: e[0]):
    data += vlq(tick - now) + payload
    now = tick
data += vlq(0) + b"\xff\x2f\x00"
track = b"MTrk" + struct.pack(">I", len(data)) + data
header = b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ)
with open(sys.argv[1] if len(sys.argv) > 1 else "karplus-strong.mid", "wb") as out:
    out.write(header + track)
