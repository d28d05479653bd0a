"""The type stubs shipped beside the module: they match the running module,
type checkers find them, and they say what each member means."""
import ast
import pathlib
import subprocess
import sys

import pytest

import ostina
from test_module import CLASS_ORDER

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = pathlib.Path(ostina.__file__).parent / "ostina-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*arguments, cwd=ROOT):
        return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), *arguments],
                              cwd=cwd, capture_output=True, text=True)
    return run


def is_setter(function):
    return any(ast.unparse(decorator).endswith(".setter") for decorator in function.decorator_list)


def stub_classes():
    """Every class of the stubs by name, the private helpers included."""
    tree = ast.parse(STUBS.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def members(name):
    """The statements of a class stub's body and of the stub bases it inherits."""
    classes = stub_classes()
    node = classes[name]
    inherited = [item for base in node.bases if ast.unparse(base) in classes for item in members(ast.unparse(base))]
    return [*node.body, *inherited]


def test_stubs_are_installed_beside_the_module():
    assert STUBS.is_file()
    assert [name for name in stub_classes() if not name.startswith("_")] == CLASS_ORDER


def test_stubtest_finds_no_difference(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ostina"], cwd=tmp_path, capture_output=True,
                            text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def settable_properties(name):
    """{name: has a setter} of every property a class stub declares."""
    found = {}
    for item in members(name):
        if isinstance(item, ast.FunctionDef):
            decorators = [ast.unparse(decorator) for decorator in item.decorator_list]
            if "property" in decorators:
                found.setdefault(item.name, False)
            elif is_setter(item):
                found[item.name] = True
    return found


def declared(name):
    """The names a class stub declares, its stub bases included."""
    found = set()
    for item in members(name):
        if isinstance(item, ast.FunctionDef):
            found.add(item.name)
        elif isinstance(item, ast.AnnAssign):
            found.add(ast.unparse(item.target))
    return found


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_protocols_match_the_stubs(name):
    """stubtest leaves equality, hashing and length unchecked."""
    cls, names = getattr(ostina, name), declared(name)
    assert ("__eq__" in names) == ("__eq__" in vars(cls))
    assert ("__hash__" in names) == (cls.__hash__ is None)
    assert ("__len__" in names) == hasattr(cls, "__len__")


# One instance of every class, to try its properties on.
INSTANCES = {
    "AudioFormat": lambda: ostina.AudioFormat(),
    "AudioBuffer": lambda: ostina.AudioBuffer(4),
    "MidiChannel": lambda: ostina.MidiChannel(1),
    "Note": lambda: ostina.Note(60),
    "Velocity": lambda: ostina.Velocity(100),
    "MidiMessage": lambda: ostina.MidiMessage.clock(),
    "MidiEvent": lambda: ostina.MidiEvent(ostina.MidiMessage.clock(), 5),
    "SineOscillator": lambda: ostina.SineOscillator(),
    "SquareOscillator": lambda: ostina.SquareOscillator(),
    "SawOscillator": lambda: ostina.SawOscillator(),
    "NoiseSource": lambda: ostina.NoiseSource(),
    "MixerChannel": lambda: ostina.MixerChannel(),
    "Mixer": lambda: ostina.Mixer(),
    "Step": lambda: ostina.Step(60, 100),
    "Pattern": lambda: ostina.Pattern(),
    "NoteEvent": lambda: ostina.NoteEvent(0.0, 1.0, 60, 100),
    "EventSequence": lambda: ostina.EventSequence(),
    "TransportClock": lambda: ostina.TransportClock(),
    "StepSequencer": lambda: ostina.StepSequencer(ostina.Pattern()),
    "AudioSample": lambda: ostina.AudioSample([0.0, 0.5]),
    "Envelope": lambda: ostina.Envelope(),
    "SampleMapping": lambda: ostina.SampleMapping(ostina.AudioSample([0.0]), 0, 127, 0, 127),
    "SampleMap": lambda: ostina.SampleMap(),
    "Sampler": lambda: ostina.Sampler(ostina.AudioSample([0.0])),
    "AudioOutput": lambda: ostina.AudioOutput(),
}


@pytest.mark.parametrize("name", sorted(INSTANCES))
def test_properties_are_writable_exactly_where_the_stubs_say(name):
    """stubtest does not compare read-only properties with writable ones."""
    instance = INSTANCES[name]()
    for member, settable in settable_properties(name).items():
        value = getattr(instance, member)
        if settable:
            setattr(instance, member, value)
            assert getattr(instance, member) == value or value != value
        else:
            with pytest.raises(AttributeError):
                setattr(instance, member, value)


def documented(node):
    """The class and the members that carry their own docstring (setters share the getter's)."""
    yield node
    for item in node.body:
        if isinstance(item, ast.FunctionDef) and not is_setter(item) \
                and (not item.name.startswith("__") or item.name == "__len__"):
            yield item


def test_every_class_and_member_has_a_one_line_docstring():
    missing = [f"{name}.{item.name}" for name, node in stub_classes().items() for item in documented(node)
               if not ast.get_docstring(item) or "\n" in ast.get_docstring(item)]
    assert missing == []


def test_examples_and_the_renderer_type_check_strictly(mypy):
    result = mypy("--strict", "examples/chord.py", "examples/groove.py", "examples/stems.py", "examples/render_piece.py",
                  "python/ostina_render")
    assert result.returncode == 0, result.stdout + result.stderr


MISTAKES = '''
from ostina import AudioBuffer, Mixer, Note, SineOscillator, TransportClock
Note("60")
SineOscillator().frequency = 220.0
total: int = AudioBuffer(4).sample_at(0, 0)
Mixer().mix_down("abc")
span: tuple[float, float] = TransportClock().advance_by_frames(512, 44100)
'''


def test_type_checkers_find_the_mistakes(mypy, tmp_path):
    script = tmp_path / "mistakes.py"
    script.write_text(MISTAKES)
    report = mypy("--strict", str(script), cwd=tmp_path).stdout
    flagged = {int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 6, 7}, report
