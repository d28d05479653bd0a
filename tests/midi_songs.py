"""Small MIDI files and sample files made for the renderer's tests."""
import mido
import numpy as np
import soundfile

RATE = 44100


def write_song(path, tracks, ticks_per_beat=480, file_type=1):
    """`tracks`: lists of (absolute tick, mido message); written with delta times."""
    midi = mido.MidiFile(type=file_type, ticks_per_beat=ticks_per_beat)
    for events in tracks:
        track = mido.MidiTrack()
        now = 0
        for tick, message in sorted(events, key=lambda event: event[0]):
            track.append(message.copy(time=tick - now))
            now = tick
        midi.tracks.append(track)
    midi.save(path)
    return path


def note(tick, length, pitch=60, velocity=100, channel=0):
    return [(tick, mido.Message("note_on", note=pitch, velocity=velocity, channel=channel)),
            (tick + length, mido.Message("note_off", note=pitch, velocity=0, channel=channel))]


def control(tick, number, value, channel=0):
    return [(tick, mido.Message("control_change", control=number, value=value, channel=channel))]


def dc_sample(path, value=0.5, seconds=4.0, rate=RATE, channels=1, subtype="FLOAT"):
    """A constant sample: whatever plays it shows its envelope and gain directly."""
    soundfile.write(path, np.full((int(seconds * rate), channels), value), rate, subtype=subtype)
    return str(path)


def onsets(mono, threshold=1e-6):
    """The frames where the signal rises from silence."""
    loud = np.abs(mono) > threshold
    return list(np.flatnonzero(loud[1:] & ~loud[:-1]) + 1) + ([0] if len(loud) and loud[0] else [])
