"""The step sequencer's walk and event-sequence insertion, against the
pure-Python baselines of the same work.

Usage: python benchmarks/bench_sequencer.py [--check] [--markdown]
Baselines: building the walk's 20,000 result tuples in Python; for 10^3 to
10^6 events in ascending and in random order, sortedcontainers'
SortedKeyList.add of the same events keyed by beat, and bisect.insort of the
same beats into a list (random order up to 10^5 only).
"""
import bisect
import operator
import random

from sortedcontainers import SortedKeyList

import ostina
from timing import Case, run_cases

STEPS = 10_000
SIZES = [10**3, 10**4, 10**5, 10**6]
# Random-order bisect.insort shifts every later item: 10^6 beats take minutes.
INSORT_RANDOM_LIMIT = 10**5
ASCENDING_TARGET = 0.6


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


def insertion_cases(order, beats):
    """add_event of `beats` against SortedKeyList.add of the same events and,
    where it finishes in seconds, bisect.insort of the same beats."""
    events = [ostina.NoteEvent(beat, 0.5, 60, 100) for beat in beats]
    rounds = 1 if len(beats) >= 10**6 else 3

    def add_events():
        sequence = ostina.EventSequence()
        for event in events:
            sequence.add_event(event)
        return sequence

    def add_keyed():
        keyed = SortedKeyList(key=operator.attrgetter("beat_position"))
        for event in events:
            keyed.add(event)
        return keyed

    def insort():
        ordered = []
        for beat in beats:
            bisect.insort(ordered, beat)
        return ordered

    name = f"EventSequence.add_event x {len(beats):,}, {order}"
    cases = [Case(name, add_events, add_keyed, 1.0, baseline_name="SortedKeyList.add", rounds=rounds)]
    if order == "ascending" or len(beats) <= INSORT_RANDOM_LIMIT:
        cases.append(Case(name, add_events, insort, ASCENDING_TARGET if order == "ascending" else None,
                          baseline_name="insort", rounds=rounds))
    return cases


def cases():
    found = [walk_case()]
    for count in SIZES:
        ascending = [index * 0.25 for index in range(count)]
        shuffled = ascending[:]
        random.Random(1).shuffle(shuffled)
        found += insertion_cases("ascending", ascending) + insertion_cases("random order", shuffled)
    return found


if __name__ == "__main__":
    run_cases(cases())
