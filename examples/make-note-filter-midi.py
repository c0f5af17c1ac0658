#!/usr/bin/env python3
"""Writes examples/note-filter.mid: a type 1 Standard MIDI File with a tempo
track (120 BPM, quickening to 180 BPM after four beats) and one track of an
arpeggio on two channels, four seconds in all, for rendering
examples/note-filter.korvel over the built-in test signal."""
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


def track(events):
    """events: (tick, bytes) in any order; written with delta times."""
    data, now = b"", 0
    for tick, payload in sorted(events, key=lambda e: e[0]):
        data += vlq(tick - now) + payload
        now = tick
    data += vlq(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(data)) + data


def tempo(bpm):
    return b"\xff\x51\x03" + struct.pack(">I", round(60_000_000 / bpm))[1:]


tempo_track = track([(0, tempo(120)), (4 * PPQ, tempo(180))])

notes = []
# C minor arpeggio in eighth notes: eight at 120 BPM (2 s), then twelve at
# 180 BPM (2 s) on channel 2, an octave up.
pitches = [48, 51, 55, 60, 63, 60, 55, 51] + [48, 51, 55, 60, 63, 67, 72, 67, 63, 60, 55, 51]
for i, pitch in enumerate(pitches):
    start = i * PPQ // 2
    channel = 0 if i < 8 else 1
    pitch += 0 if i < 8 else 12
    notes.append((start, bytes([0x90 | channel, pitch, 100])))
    # Note off as a note on of velocity 0, as many files do.
    notes.append((start + PPQ * 3 // 8, bytes([0x90 | channel, pitch, 0])))
note_track = track(notes)

header = b"MThd" + struct.pack(">IHHH", 6, 1, 2, PPQ)
out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("note-filter.mid"))
out.write_bytes(header + tempo_track + note_track)
