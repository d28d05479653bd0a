"""The example scripts: the groove gives the same WAV on every run, its stems
rendered in other processes equal the serial render bit for bit, and the
notebook runs from top to bottom."""
import array
import base64
import io
import pathlib
import re
import subprocess
import sys
import wave

import nbclient
import nbformat
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# Runs a script as `python script ...` would, with matplotlib hidden.
WITHOUT_MATPLOTLIB = "import runpy, sys; sys.modules['matplotlib'] = None; sys.argv = sys.argv[1:]; " \
                     "runpy.run_path(sys.argv[0], run_name='__main__')"


def run(script, *arguments, matplotlib=True):
    prefix = [] if matplotlib else ["-c", WITHOUT_MATPLOTLIB]
    result = subprocess.run([sys.executable, *prefix, str(EXAMPLES / script), *map(str, arguments)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result


@pytest.fixture(scope="module")
def grooves(tmp_path_factory):
    """The groove rendered twice with the default arguments, the second time without matplotlib."""
    folder = tmp_path_factory.mktemp("grooves")
    return folder, run("groove.py", folder / "drawn"), run("groove.py", folder / "plain", matplotlib=False)


def test_groove_writes_the_same_wav_on_every_run(grooves):
    folder, drawn, plain = grooves
    assert (folder / "drawn" / "groove.wav").read_bytes() == (folder / "plain" / "groove.wav").read_bytes()
    assert "x real time" in drawn.stdout and "rendering 100%" in drawn.stderr


def test_groove_draws_a_png_only_with_matplotlib(grooves):
    folder, _, plain = grooves
    assert (folder / "drawn" / "groove.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert not (folder / "plain" / "groove.png").exists()
    assert "matplotlib is not installed: skipped the PNG" in plain.stdout


def test_groove_wav_is_four_bars_of_unclipped_stereo(grooves):
    with wave.open(str(grooves[0] / "drawn" / "groove.wav")) as audio:
        assert (audio.getnchannels(), audio.getsampwidth(), audio.getframerate()) == (2, 2, 44100)
        assert audio.getnframes() == round(4 * 4 * 60 / 174 * 44100)  # 174 bpm by default
        pcm = array.array("h", audio.readframes(audio.getnframes()))
    if sys.byteorder == "big":
        pcm.byteswap()
    left, right = pcm[0::2], pcm[1::2]
    assert max(map(abs, left)) > 8000 and max(map(abs, right)) > 8000
    assert max(map(abs, pcm)) < 32767
    assert left != right  # the tracks are panned apart


def test_solo_and_mute_choose_the_tracks_heard(tmp_path):
    run("groove.py", tmp_path / "bass", "--bars", 1, "--solo", "Bass")
    run("groove.py", tmp_path / "others", "--bars", 1, "--mute", "Kick", "--mute", "Snare", "--mute", "Hats")
    assert (tmp_path / "bass" / "groove.wav").read_bytes() == (tmp_path / "others" / "groove.wav").read_bytes()


@pytest.fixture
def stems(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import stems
    return stems


def samples_bits(stems):
    return [(array.array("d", stem.samples).tobytes(), stem.hits) for stem in stems]


def test_parallel_stems_equal_the_serial_render_bit_for_bit(stems):
    tracks = stems.groove.groove_tracks()
    serial = stems.render_serially(tracks, 174.0, 8.0)
    assert all(any(stem.samples) for stem in serial)
    expected = samples_bits(serial)
    assert samples_bits(stems.render_with_processes(tracks, 174.0, 8.0, workers=2)) == expected
    assert samples_bits(stems.render_with_dask(tracks, 174.0, 8.0, workers=2)) == expected


def test_stems_script_mixes_what_the_groove_script_renders(tmp_path):
    run("stems.py", tmp_path, "--bars", 1, "--workers", 2)
    run("groove.py", tmp_path, "--bars", 1)
    assert (tmp_path / "stems.wav").read_bytes() == (tmp_path / "groove.wav").read_bytes()


def test_render_piece_renders_the_real_piece_and_draws_it(tmp_path):
    result = run("render_piece.py", tmp_path)
    assert "1390.mid: 3 tracks, 947 notes" in result.stdout and "0 clipped samples" in result.stdout
    assert (tmp_path / "1390.wav").stat().st_size > 13_000_000 and (tmp_path / "1390.png").exists()


def test_typed_chord_example_runs():
    assert "frames, peak" in run("chord.py").stdout


def executed_outputs(name):
    notebook = nbformat.read(EXAMPLES / name, as_version=4)
    nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                            resources={"metadata": {"path": str(EXAMPLES)}}).execute()
    return [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]


def test_tour_notebook_runs_headless():
    outputs = executed_outputs("tour.ipynb")
    assert not [output for output in outputs if output.output_type == "error"]
    assert any("audio/wav" in output.get("data", {}) or "text/html" in output.get("data", {}) for output in outputs)
    assert any("image/png" in output.get("data", {}) for output in outputs)


def wav_frames(html):
    """The frames of the WAV file an audio player's HTML embeds."""
    encoded = re.search(r'src="data:audio/wav;base64,([^"]+)"', html).group(1)
    with wave.open(io.BytesIO(base64.b64decode(encoded))) as file:
        return file.getnframes()


def test_render_notebook_plays_each_object_with_each_bank():
    music21 = pytest.importorskip("music21")
    pretty_midi = pytest.importorskip("pretty_midi")
    from ostina_render import RenderOptions, render_array

    outputs = executed_outputs("render.ipynb")
    assert not [output for output in outputs if output.output_type == "error"]
    chorale = music21.corpus.parse("bach/bwv66.6")
    soundfont = pathlib.Path(pretty_midi.__file__).with_name("TimGM6mb.sf2")
    whole = [len(render_array(chorale, options=options))
             for options in (RenderOptions(), RenderOptions(soundfont=soundfont))]
    players = [wav_frames(output.data["text/html"]) for output in outputs
               if "<audio" in output.get("data", {}).get("text/html", "")]
    assert players == [*whole, 441000, 441000]  # the groove's first 10 s
    assert sum("image/png" in output.get("data", {}) for output in outputs) == 4
    assert sum("application/vnd.jupyter.widget-view+json" in output.get("data", {}) for output in outputs) == 4
    assert "4 done, 0 skipped, 0 failed" in "".join(output.get("text", "") for output in outputs)
