"""The step sequencer's walk and event-sequence insertion, against the
pure-Python baselines of the same work.

Usage: python benchmarks/bench_sequencer.py [--check] [--markdown]
Baselines: building the walk's 20,000 result tuples in Python; bisect.insort
of the same beats into a list. Random-order insertion is informational:
every insertion shifts the later events, so both sides are bounded by moving
records, not by the search.
"""
import bisect
import random

import ostina
from timing import Case, run_cases

STEPS = 10_000
EVENTS = 100_000


def walk_case():
    pattern = ostina.Pattern(16)
    for index in range(16):
        pattern.set_step(index, ostina.Step(36 + index, 100))
    sequencer = ostina.StepSequencer(pattern)
    end = STEPS * sequencer.step_duration

    def walk():
        sequencer.reset()
        return sequencer.process_beat_range(0.0, end)

    events = walk()
    assert len(events) == 2 * STEPS
    columns = [list(column) for column in zip(*events)]

    def build_tuples():
        return [(kind, note, velocity, time) for kind, note, velocity, time in zip(*columns)]

    return Case(f"StepSequencer.process_beat_range, {STEPS:,} steps", walk, build_tuples, 2.0,
                baseline_name="tuples")


def insertion_case(order, beats, target, rounds):
    events = [ostina.NoteEvent(beat, 0.5, 60, 100) for beat in beats]

    def add_events():
        sequence = ostina.EventSequence()
        for event in events:
            sequence.add_event(event)
        return sequence

    def insort():
        ordered = []
        for beat in beats:
            bisect.insort(ordered, beat)
        return ordered

    return Case(f"EventSequence.add_event x {EVENTS:,}, {order}", add_events, insort, target,
                baseline_name="insort", rounds=rounds)


def cases():
    ascending = [index * 0.25 for index in range(EVENTS)]
    shuffled = ascending[:]
    random.Random(1).shuffle(shuffled)
    return [walk_case(), insertion_case("ascending", ascending, 1.0, 5),
            insertion_case("random order", shuffled, None, 2)]


if __name__ == "__main__":
    run_cases(cases())
