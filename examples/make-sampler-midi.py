#!/usr/bin/env python3
"""Writes the notes examples/sampler.korvel plays: a type 0 Standard MIDI
File at 120 BPM, four seconds of a tune in eighth and quarter notes from G2
to E5, each note let go a little before the next so that every one starts
the sound afresh. scripts/demo writes it to out/sampler.mid:

    examples/make-sampler-midi.py out/sampler.mid
"""
import struct
import sys
from pathlib import Path

PPQ = 480


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


# (pitch, start in eighths, length in eighths): middle C (60) is the
# sound's own pitch.
tune = [
    (60, 0, 1), (64, 1, 1), (67, 2, 1), (72, 3, 1), (76, 4, 2), (72, 6, 2),
    (55, 8, 1), (59, 9, 1), (62, 10, 1), (67, 11, 1), (71, 12, 2), (67, 14, 2),
    (57, 16, 1), (60, 17, 1), (64, 18, 1), (69, 19, 1), (72, 20, 1), (69, 21, 1), (64, 22, 2),
    (43, 24, 2), (48, 26, 2), (60, 28, 4),
]
events = [(0, b"\xff\x51\x03" + struct.pack(">I", 500_000)[1:])]  # 120 BPM
for pitch, start, length in tune:
    on = start * PPQ // 2
    off = on + length * PPQ // 2 - PPQ // 8  # a short gap before the next note
    events.append((on, bytes([0x90, pitch, 100])))
    events.append((off, bytes([0x80, pitch, 0])))

data, now = b"", 0
for tick, payload in sorted(events, key=lambda e: (e[0], e[1][0] != 0x80)):
    data += vlq(tick - now) + payload
    now = tick
data += vlq(0) + b"\xff\x2f\x00"
track = b"MTrk" + struct.pack(">I", len(data)) + data
header = b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ)
Path(sys.argv[1] if len(sys.argv) > 1 else "sampler.mid").write_bytes(header + track)
