"""Plays a C minor chord on a sampler and pans its notes apart: a small
script with type annotations throughout, which `mypy --strict` checks against
ostina's stubs.

    python examples/chord.py
"""
from __future__ import annotations

from ostina import AudioSample, Envelope, Mixer, Note, Sampler, SawOscillator

RATE = 44100


def voice(note: Note, seconds: float) -> list[float]:
    """One note of the chord on its own sampler, held for `seconds` and released."""
    tone = SawOscillator(Note(60).to_hz(), 0.3, RATE).render_to_buffer(RATE // 2)
    sample = AudioSample(tone, RATE, root_note=60)
    sample.loop_start, sample.loop_end = RATE // 4, len(sample)
    sampler = Sampler(sample, RATE)
    sampler.set_envelope(Envelope(attack=0.01, decay=0.2, sustain=0.6, release=0.3))
    sampler.note_on(note.value, 100)
    held = sampler.render(round(seconds * RATE))
    sampler.note_off(note.value)
    return held + sampler.render(round(0.3 * RATE))


def chord(names: dict[str, Note], seconds: float) -> list[float]:
    """The notes mixed to interleaved stereo, spread from left to right."""
    mixer = Mixer()
    buffers: list[list[float]] = []
    for position, (name, note) in enumerate(names.items()):
        index = mixer.add_channel(name)
        mixer.set_channel_pan(index, -0.6 + 0.6 * position)
        buffers.append(voice(note, seconds))
    return mixer.mix_down(buffers)


def main() -> None:
    stereo = chord({"C4": Note(60), "Eb4": Note(63), "G4": Note(67)}, seconds=1.0)
    left, right = stereo[0::2], stereo[1::2]
    peak: float = max(map(abs, stereo))
    print(f"{len(left)} frames, peak {peak:.3f}, left energy {sum(x * x for x in left):.1f}, "
          f"right energy {sum(x * x for x in right):.1f}")


if __name__ == "__main__":
    main()
