"""Songs given as objects: MIDI libraries' objects, bytes and files; the pretty_midi
drop-in; and the notebook's player, piano roll and spectrogram."""
import io
import math
import pickle
import subprocess
import sys
import wave

import numpy as np
import pytest

from ostina_render import RenderError, RenderOptions, fluidsynth, listen, read_song, render_array, render_file
from ostina_render import spectrogram
from ostina_render.batch import Job, Processes, render_batch
from ostina_render.dropin import pretty_midi_soundfont
from test_render_real_files import PIANO, PRIMITIVES

pretty_midi = pytest.importorskip("pretty_midi")


# Each library's reader of a path, and its writer to one
LIBRARIES = {
    "mido": (lambda mido, path: mido.MidiFile(path), lambda midi, to: midi.save(to)),
    "pretty_midi": (lambda module, path: module.PrettyMIDI(path), lambda midi, to: midi.write(to)),
    "miditoolkit": (lambda module, path: module.MidiFile(path), lambda midi, to: midi.dump(to)),
    "symusic": (lambda symusic, path: symusic.Score(path), lambda score, to: score.dump_midi(to)),
    "music21": (lambda music21, path: music21.converter.parse(path), lambda stream, to: stream.write("midi", fp=to)),
}


@pytest.mark.parametrize("kind, label", [("mido", "<mido.MidiFile>"), ("pretty_midi", "<pretty_midi.PrettyMIDI>"),
                                         ("miditoolkit", "<miditoolkit.MidiFile>"), ("symusic", "<symusic.ScoreTick>"),
                                         ("music21", "<music21.Score>")])
def test_each_library_object_renders_as_its_written_file(kind, label, tmp_path):
    read, write = LIBRARIES[kind]
    midi = read(pytest.importorskip(kind), str(PRIMITIVES / "test05.mid"))
    write(midi, str(tmp_path / "written.mid"))
    assert read_song(midi).path == label
    np.testing.assert_array_equal(render_array(midi), render_array(tmp_path / "written.mid"))


def built_in_code():
    midi = pretty_midi.PrettyMIDI(initial_tempo=90)
    piano = pretty_midi.Instrument(program=0)
    piano.notes = [pretty_midi.Note(velocity=80, pitch=60 + step, start=step * 0.5, end=step * 0.5 + 0.4)
                   for step in range(4)]
    midi.instruments.append(piano)
    return midi


def unwritable():
    midi = built_in_code()
    midi.instruments[0].notes[0].pitch = 200
    return midi


def test_unsaved_objects_keep_their_notes_and_durations():
    song = read_song(built_in_code())
    assert [note.pitch for note in song.notes] == [60, 61, 62, 63]
    assert [float(song.seconds(note.start_tick)) for note in song.notes] == pytest.approx([0, 0.5, 1, 1.5], abs=1e-3)
    music21 = pytest.importorskip("music21")
    chorale = music21.corpus.parse("bach/bwv66.6")
    song = read_song(chorale)
    assert len(song.notes) == sum(len(note.pitches) for note in chorale.stripTies().flatten().notes)
    tempo = chorale.metronomeMarkBoundaries()[0][2].getQuarterBPM()  # the one music21 plays it at
    assert song.seconds(max(note.end_tick for note in song.notes)) == chorale.highestTime * 60 / tempo


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, io.BytesIO], ids=lambda make: make.__name__)
def test_bytes_and_binary_files_render_as_the_path(make):
    assert np.array_equal(render_array(make(PIANO.read_bytes()), end=2.0), render_array(PIANO, end=2.0))


class Unreadable(io.RawIOBase):
    def read(self, size=-1):
        raise EOFError("compressed file ended")


@pytest.mark.parametrize("call, message", [
    (lambda: render_file(3.5, io.BytesIO()), "float is not a song: give a path, a Song, a MIDI file's bytes or binary "
     "file object, or a mido.MidiFile, pretty_midi.PrettyMIDI, miditoolkit.MidiFile, symusic.Score or music21 stream"),
    (lambda: read_song(io.StringIO("MThd")), "<file>: opened as text; open the MIDI file with 'rb'"),
    (lambda: read_song(io.BytesIO()), "<file>: empty file"),
    (lambda: read_song(Unreadable()), "<file>: cannot read (EOFError('compressed file ended'))"),
    (lambda: read_song(b"MThd"), "<bytes>: "),
    (lambda: read_song(unwritable()), "<pretty_midi.PrettyMIDI>: its library could not write it as MIDI ("),
    (lambda: read_song(read_song(PIANO), PIANO.read_bytes()), "bytes read elsewhere are named by a path, not by a Song"),
    (lambda: render_array(PIANO, 5.0, 2.0), "end 2.0 s comes before start 5.0 s"),
    (lambda: listen(PIANO, start=500), "nothing to play from 500 s: the song has stopped ringing by then"),
    (lambda: listen(PIANO, 1.0, 1.0), "nothing to play from 1.0 s to 1.0 s"),
    (lambda: spectrogram(np.zeros((2, 2, 2)), 44100), "audio must be frames, or frames by channels, not an array of shape"),
    (lambda: spectrogram(np.zeros(10), 0), "rate must be a positive number of frames a second, not 0"),
])
def test_bad_input_gets_one_line(call, message):
    with pytest.raises(RenderError) as caught:
        call()
    assert str(caught.value).startswith(message) and "\n" not in str(caught.value)


def test_libraries_are_recognised_without_importing_them():
    probe = ("import sys, ostina_render\n"
             "try: ostina_render.read_song(object())\n"
             "except ostina_render.RenderError: pass\n"
             "print(sorted({'mido', 'pretty_midi', 'miditoolkit', 'symusic', 'music21'} & set(sys.modules)))")
    assert subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout == "[]\n"


def test_a_batch_renders_objects_written_in_the_caller(tmp_path):
    midi = built_in_code()
    job = Job.of(midi, tmp_path / "out.wav")
    assert (job.source, job.target, pickle.loads(pickle.dumps(job)).data) == ("<pretty_midi.PrettyMIDI>",
                                                                              str(tmp_path / "out.wav"), job.data)
    report = render_batch([job, Job.of(PIANO, tmp_path / "piano.wav")], executor=Processes(2))
    assert [result.status for result in report.results] == ["done", "done"]
    midi.write(str(tmp_path / "written.mid"))
    render_file(tmp_path / "written.mid", tmp_path / "direct.wav")
    assert (tmp_path / "out.wav").read_bytes() == (tmp_path / "direct.wav").read_bytes()


def test_the_drop_in_follows_pretty_midis_rules():
    midi = built_in_code()
    audio = fluidsynth(midi, fs=22050)
    assert audio.dtype == np.float64 and audio.ndim == 1 and np.abs(audio).max() == 1.0
    assert len(audio) == math.floor(22050 * midi.get_end_time()) + 22050
    written = io.BytesIO()
    midi.write(written)  # its ticks round the last note's end down to 1.89996 s
    assert len(fluidsynth(written.getvalue(), 22050)) == math.floor(22050 * 1.89996) + 22050
    assert np.array_equal(audio, fluidsynth(midi, 22050, pretty_midi_soundfont()))
    silent = pretty_midi.Instrument(program=1)
    silent.control_changes.append(pretty_midi.ControlChange(7, 100, 3.0))
    midi.instruments.append(silent)  # an instrument without notes does not lengthen it
    heard = np.flatnonzero(audio)[-1] + 1  # the song without it ends once its reverb is quiet
    for fs in (22050.0, np.int64(22050)):  # as pretty_midi takes them
        longer = fluidsynth(midi, fs=fs)
        assert len(longer) == len(audio)
        np.testing.assert_allclose(longer[:heard], audio[:heard], atol=1e-6)
        assert np.abs(longer[heard:]).max() < 0.01  # the reverb rings on below a 16-bit step
    empty = fluidsynth(pretty_midi.PrettyMIDI())
    assert empty.dtype == np.float64 and empty.shape == (0,)


def test_the_drop_in_matches_pretty_midi_where_pyfluidsynth_runs():
    pytest.importorskip("fluidsynth")
    midi = pretty_midi.PrettyMIDI(str(PIANO))
    theirs, ours = midi.fluidsynth(fs=22050), fluidsynth(midi, fs=22050)
    assert (theirs.dtype, theirs.ndim, np.abs(theirs).max()) == (ours.dtype, ours.ndim, 1.0)
    assert abs(len(theirs) - len(ours)) <= 2


class FakeBar:
    shown = []

    def __init__(self, total, **_):
        self.total, self.n = total, 0
        FakeBar.shown.append(self)

    def update(self, seconds):
        self.n += seconds

    __enter__ = lambda self: self
    __exit__ = lambda self, *_: None


@pytest.mark.parametrize("end, normalize, total", [(5.0, False, 5.0), (5.0, True, 84.0), (500.0, False, 79.0)])
def test_a_bar_spans_what_is_rendered(monkeypatch, end, normalize, total):  # the piece lasts 79 s
    monkeypatch.setattr("ostina_render.progress.bar_class", lambda: FakeBar)
    FakeBar.shown.clear()
    render_array(PIANO, end=end, options=RenderOptions(normalize=normalize), progress=True)
    (bar,) = FakeBar.shown
    assert bar.total == pytest.approx(total, abs=0.1) and bar.n == pytest.approx(total, abs=0.1)


def test_progress_is_a_function_or_a_bar_only_where_someone_watches(capfd):
    frames = []
    report = render_file(PIANO, io.BytesIO(), progress=frames.append)
    assert sum(frames) == report.frames
    render_file(PIANO, io.BytesIO(), progress=True)  # no terminal and no notebook: no bar
    assert capfd.readouterr() == ("", "")
    with pytest.raises(RenderError, match=r"^progress must be True, False, None or a function, not 'yes'$"):
        render_array(PIANO, progress="yes")


def wav_frames(player):
    with io.BytesIO(player.data) as file, wave.open(file) as wav:
        assert (wav.getnchannels(), wav.getframerate(), wav.getsampwidth()) == (2, 44100, 2)
        return np.frombuffer(wav.readframes(wav.getnframes()), np.int16).reshape(-1, 2)


def test_listen_plays_a_slice_as_rendered_and_a_whole_song_normalized():
    sliced = wav_frames(listen(PIANO, start=1.0, end=2.5, options=RenderOptions()))
    assert np.array_equal(sliced, (render_array(PIANO, 1.0, 2.5) * 32767).astype(np.int16))
    assert abs(np.abs(wav_frames(listen(PIANO))).max() - 32767 * 10 ** (-1 / 20)) <= 1


def test_the_piano_roll_draws_each_note_in_its_tracks_colour():
    song = read_song(PRIMITIVES / "test05.mid")
    figure = song.piano_roll()
    bars = figure.axes[0].containers
    assert sum(len(bar) for bar in bars) == len(song.notes)
    assert [text.get_text() for text in figure.axes[0].get_legend().get_texts()] == [
        track.name or f"track {track.index}" for track in song.tracks if track.note_count]


def test_plots_without_matplotlib_name_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(RenderError, match=r"^a piano roll needs the notebook extra: .*install .*\[notebook\]'?$"):
        read_song(PIANO).piano_roll()
