"""The worst a MIDI file of at most 1 MB can ask of ostina-render.

    python benchmarks/render_limits.py

Each file below is made here, at most 1 MB, and rendered by the command
with `--max-duration 60` as a whole process; the script prints its wall
time and peak RSS (GNU time's) against the bounds of 30 s and 200 MB:

- 349,000 note-ons on one tick, never ended: the polyphony limit's worst;
- a new note on every tick for a minute, never ended: stealing all along;
- 256 held organ notes under a channel-pressure message every 2 frames;
- 256 held organ notes under a pitch-bend message every 2 frames.
"""
from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile
import time

HELD = b"\x00\xc0\x13\x00\x90" + bytes([0, 100]) + b"".join(bytes([0, k % 128, 100 + k // 128]) for k in range(1, 256))


def smf(events: bytes, ticks_per_beat: int) -> bytes:
    body = events + b"\x00\xff\x2f\x00"
    return (b"MThd" + (6).to_bytes(4, "big") + bytes([0, 0, 0, 1]) + ticks_per_beat.to_bytes(2, "big")
            + b"MTrk" + len(body).to_bytes(4, "big") + body)


def files() -> dict[str, bytes]:
    return {
        "349,000 note-ons on one tick": smf(b"\x00\x90\x3c\x64" + b"\x00\x3c\x64" * 349_000, 480),
        "a note on every tick, 57,000": smf(b"\x00\x90\x3c\x64" + b"".join(
            bytes([1, i * 7 % 128, 100]) for i in range(57_000)), 480),
        "256 notes, pressure every 2 frames": smf(HELD + b"\x02\xd0\x10" + b"".join(
            bytes([2, i % 128]) for i in range(510_000)), 9600),
        "256 notes, a bend every 2 frames": smf(HELD + b"\x02\xe0\x00\x40" + b"".join(
            bytes([2, i % 128, 64]) for i in range(340_000)), 9600),
    }


def main() -> int:
    worst = 0.0
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        for title, data in files().items():
            assert len(data) <= 1 << 20
            song, report = folder / "song.mid", folder / "time.txt"
            song.write_bytes(data)
            began = time.perf_counter()
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), sys.executable, "-m", "ostina_render",
                            str(song), "-o", str(folder / "song.wav"), "--max-duration", "60", "-q"], check=True)
            wall = time.perf_counter() - began
            rss = int(report.read_text().split()[-1]) / 1024
            worst = max(worst, wall)
            print(f"{title:38s} {len(data) / 1e6:4.2f} MB  {wall:6.2f} s  {rss:5.0f} MB")
    print(f"slowest: {worst:.2f} s (bound 30 s)")
    return 0 if worst <= 30 else 1


if __name__ == "__main__":
    sys.exit(main())
