"""Step sequencer walk and event-sequence insertion vs pure-Python baselines.

Usage: python benchmarks/bench_sequencer.py [--check]
Baselines: building the walk's result tuples in Python; bisect.insort of the
same beats into a list. Random-order insertion is informational: every
insertion shifts the later events, so both sides are bounded by moving
records, not by the search.
"""
import bisect
import random
import timeit

import ostina
from timing import finish, paired, report

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

    return walk, build_tuples


def insertion_case(beats):
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

    return add_events, insort


def best_of_alternating(fn, base_fn, runs=2):
    """For cases too slow for many runs: the best of a few single calls each."""
    times = [float("inf")] * 2
    for _ in range(runs):
        for index, call in enumerate((fn, base_fn)):
            times[index] = min(times[index], timeit.timeit(call, number=1))
    return times[0], times[1]


def main():
    over = False
    walk, build_tuples = walk_case()
    t, base = paired(walk, build_tuples)
    over |= report(f"process_beat_range {STEPS} steps", t, base, 2.0, base_name="tuples")

    ascending = [index * 0.25 for index in range(EVENTS)]
    add_events, insort = insertion_case(ascending)
    t, base = paired(add_events, insort, repeat=5)
    over |= report(f"add_event x{EVENTS} ascending", t, base, 1.0, base_name="insort")

    shuffled = ascending[:]
    random.Random(1).shuffle(shuffled)
    add_events, insort = insertion_case(shuffled)
    t, base = best_of_alternating(add_events, insort)
    report(f"add_event x{EVENTS} random", t, base, base_name="insort")
    finish(over)


if __name__ == "__main__":
    main()
