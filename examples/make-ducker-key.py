#!/usr/bin/env python3
"""Writes a sidechain key for examples/ducker.korvel: a kick drum on every
beat at 120 BPM (a sine falling from 150 Hz to 50 Hz, dying away in about
a fifth of a second, peaking at -6 dBFS), six seconds of mono 16-bit WAV at
44100 Hz. Usage: make-ducker-key.py OUT.wav"""
import math
import struct
import sys
import wave

RATE = 44100
SECONDS = 6
BEAT = 0.5  # seconds: 120 BPM


def kick(t):
    """The kick's sample t seconds after it starts."""
    frequency = 50 + 100 * math.exp(-t / 0.03)
    # The phase is the integral of the frequency.
    phase = 2 * math.pi * (50 * t + 100 * 0.03 * (1 - math.exp(-t / 0.03)))
    return 0.5 * math.exp(-t / 0.06) * math.sin(phase) if frequency > 0 else 0.0


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    samples = []
    for n in range(RATE * SECONDS):
        t = (n / RATE) % BEAT
        samples.append(int(round(kick(t) * 32767)))
    with wave.open(sys.argv[1], "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(struct.pack("<%dh" % len(samples), *samples))


if __name__ == "__main__":
    main()
