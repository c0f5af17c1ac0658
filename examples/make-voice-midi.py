#!/usr/bin/env python3
"""Writes a Standard MIDI File (type 0, 120 BPM) for examples/voice.korvel:
a four-second phrase in A minor, quarter and eighth notes with rests and
one tied note, so the envelope's attack, decay, sustain and release are all
heard. scripts/demo runs it: python3 examples/make-voice-midi.py OUT.mid"""
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


# (start, length) in eighth notes, and the note number.
PHRASE = [(0, 2, 57), (2, 1, 60), (3, 1, 64), (4, 2, 69), (6, 1, 67), (7, 1, 64),
          (8, 3, 62), (12, 1, 64), (13, 1, 65), (14, 2, 64)]

events = []
for start, length, note in PHRASE:
    on = start * PPQ // 2
    off = on + length * PPQ // 2 - PPQ // 8  # a little gap before the next note
    events.append((on, 1, bytes([0x90, note, 96])))
    events.append((off, 0, bytes([0x80, note, 64])))
events.sort(key=lambda e: (e[0], e[1]))

data, now = b"\x00\xff\x51\x03" + struct.pack(">I", 500000)[1:], 0  # 120 BPM
for tick, _, payload in events:
    data += vlq(tick - now) + payload
    now = tick
data += vlq(0) + b"\xff\x2f\x00"
track = b"MTrk" + struct.pack(">I", len(data)) + data
header = b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ)
out = Path(sys.argv[1] if len(sys.argv) > 1 else "voice.mid")
out.write_bytes(header + track)
