"""Renders a short phrase with ostina's signal sources and reports on it.

Run from the project root after installing the package; writes demo.wav
(16-bit mono) next to where it is run, unless --no-wav is given.
"""
import array
import sys
import wave

from ostina import AudioBuffer, MidiEvent, MidiMessage, NoiseSource, Note, SawOscillator, SineOscillator

RATE = 44100


def render_note(number, seconds, source_class):
    """One note of the phrase: a tone at the note's pitch with a little noise."""
    frames = int(RATE * seconds)
    tone = source_class(Note(number).to_hz(), 0.4, RATE).render_to_buffer(frames)
    hiss = NoiseSource(0.02, seed=number).render_to_buffer(frames)
    fade = max(1, frames // 20)  # short ramps keep the note edges from clicking
    return [(t + h) * min(1.0, i / fade, (frames - i) / fade) for i, (t, h) in enumerate(zip(tone, hiss))]


def main():
    phrase = [(60, SineOscillator), (64, SineOscillator), (67, SawOscillator), (72, SineOscillator)]
    events, samples = [], []
    for number, source in phrase:
        start_us = len(samples) * 1_000_000 // RATE
        events.append(MidiEvent(MidiMessage.note_on(0, number, 100), start_us))
        samples += render_note(number, 0.25, source)
        events.append(MidiEvent(MidiMessage.note_off(0, number, 0), len(samples) * 1_000_000 // RATE))

    buffer = AudioBuffer(len(samples), RATE, 1)
    for frame, value in enumerate(samples):
        buffer.set_sample(frame, 0, value)

    for event in events:
        print(event)
    peak = max(abs(x) for x in buffer.to_list())
    print(f"{buffer!r}, {buffer.format}, peak {peak:.3f}")

    if "--no-wav" not in sys.argv:
        pcm = array.array("h", (int(max(-1.0, min(1.0, x)) * 32767) for x in buffer.to_list()))
        with wave.open("demo.wav", "wb") as out:
            out.setnchannels(1)
            out.setsampwidth(2)
            out.setframerate(RATE)
            out.writeframes(pcm.tobytes())
        print("wrote demo.wav")


if __name__ == "__main__":
    main()
