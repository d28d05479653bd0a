"""Rendering a song block by block: samplers in pools per mix group and zone, mixed to stereo.

Every event takes effect on its own frame. A sampler is rendered only up to
the frame of its own next event, and samplers with no sounding voice are not
rendered at all: their place in the mix is an empty list, which the mixer
skips. The mixer's first channel is a muted, silent reference that gives each
mix its length.
"""
from __future__ import annotations

import heapq
import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from ostina import Mixer, Sampler

from . import instruments
from .errors import RenderError
from .instruments import Sound
from .song import Note, Song

Stereo = npt.NDArray[np.float32]  # frames x 2

BLOCK_FRAMES = 4096  # small enough that a block's lists stay in the processor's cache
MAX_VOICES = 32  # per sampler; a sampler holds the notes of one zone of a mix group's channels
TAIL_SECONDS = 10.0  # the longest a song's last notes may ring after its end

# Controllers the renderer follows.
VOLUME, PAN, EXPRESSION, SUSTAIN = 7, 10, 11, 64
ALL_SOUND_OFF, RESET_CONTROLLERS, ALL_NOTES_OFF = 120, 121, 123


@dataclass(frozen=True)
class Selection:
    """Which notes play: tracks by index from 0, channels from 0. None keeps all."""

    tracks: frozenset[int] | None = None
    mute_tracks: frozenset[int] = frozenset()
    channels: frozenset[int] | None = None
    mute_channels: frozenset[int] = frozenset()

    def plays(self, note: Note) -> bool:
        return ((self.tracks is None or note.track in self.tracks) and note.track not in self.mute_tracks
                and (self.channels is None or note.channel in self.channels)
                and note.channel not in self.mute_channels)


@dataclass
class Slot:
    """One sampler of a pool, with its place in the mixer and the block rendered so far."""

    sampler: Sampler
    mixer_index: int
    release_frames: int
    held: set[int] = field(default_factory=set)  # pitches of notes begun and not yet released
    rings_until: int = 0  # the frame by which every voice not held has fallen silent
    block: list[float] | None = None  # this block's samples so far; None while silent
    sounding: bool = False

    def catch_up(self, frame: int, block_start: int) -> None:
        """Render up to `frame`, or pad with silence while no voice sounds."""
        done = block_start + len(self.block) if self.block is not None else block_start
        if frame <= done:
            return
        if not self.sounding:
            piece = [0.0] * (frame - done)
        else:
            piece = self.sampler.render(frame - done)
        if self.block is None:
            self.block = piece
        else:
            self.block += piece


@dataclass
class ChannelState:
    volume: int = 100
    expression: int = 127
    pan: int = 64
    sustain: bool = False
    held: dict[int, tuple[Slot, int]] = field(default_factory=dict)  # note id -> (slot, pitch) not yet released
    pedalled: list[int] = field(default_factory=list)  # note ids whose release waits for the pedal

    def gain(self) -> float:
        return (self.volume / 127) ** 2 * (self.expression / 127) ** 2

    def pan_position(self) -> float:
        return (self.pan - 64) / 63  # the mixer clamps 0 to -1


CONTROL, NOTE_OFF, NOTE_ON = 0, 1, 2  # event kinds

Change = tuple[int, int, float, float]  # frame, channel, gain, pan


@dataclass(frozen=True)
class Plan:
    """A song's events in frames: (frame, index in the file, kind, order, payload), sorted.
    Events of one tick keep the file's order: a note-off before a pedal goes down
    on the same tick ends its note."""

    events: list[tuple[int, int, int, int, object]]
    frames: int  # the song's length in frames, up to its last event
    notes: int
    groups: tuple[int, ...]  # per channel, the channel whose samplers it shares


MIX_CONTROLLERS = (VOLUME, PAN, EXPRESSION, RESET_CONTROLLERS)


def mix_groups(song: Song) -> tuple[int, ...]:
    """Channels that share samplers: those whose volume, expression and pan
    change identically, so that one mixer setting serves them all. A channel
    that silences its sound at once (all sound off) keeps its own."""
    streams: list[list[tuple[int, int, int]]] = [[] for _ in range(16)]
    alone = set()
    for control in song.controllers:
        if control.controller in MIX_CONTROLLERS:
            streams[control.channel].append((control.tick, control.controller, control.value))
        elif control.controller == ALL_SOUND_OFF:
            alone.add(control.channel)
    first: dict[tuple[tuple[int, int, int], ...], int] = {}
    return tuple(channel if channel in alone else first.setdefault(tuple(stream), channel)
                 for channel, stream in enumerate(streams))


def plan(song: Song, rate: int, selection: Selection, max_seconds: float) -> Plan:
    """Every event of `song` on its exact frame; a song longer than `max_seconds` is refused."""
    tempo = song.tempo_map
    if song.duration > max_seconds:
        raise RenderError(f"{song.path}: the song lasts {float(song.duration):.0f} s, more than the limit of "
                          f"{max_seconds:.0f} s")
    events: list[tuple[int, int, int, int, object]] = []
    playing = [note for note in song.notes if selection.plays(note)]
    for order, note in enumerate(playing):
        events.append((tempo.frame(note.start_tick, rate), note.start_index, NOTE_ON, order, note))
        events.append((tempo.frame(note.end_tick, rate), note.end_index, NOTE_OFF, order, note))
    for order, control in enumerate(song.controllers):
        events.append((tempo.frame(control.tick, rate), control.index, CONTROL, order, control))
    events.sort(key=lambda event: event[:4])
    return Plan(events, tempo.frame(song.end_tick, rate), len(playing), mix_groups(song))


class Renderer:
    """Turns a planned song into stereo blocks of 32-bit floats."""

    def __init__(self, rate: int, sounds: Callable[[int, int, int], tuple[object, Sound] | None]) -> None:
        self.rate = rate
        self.sounds = sounds
        self.mixer = Mixer()
        self.mixer.master_gain = 1.0
        self.mixer.add_channel("length")
        self.mixer.set_channel_mute(0, True)
        self.silence = np.zeros(BLOCK_FRAMES, np.float32)
        self.pools: dict[tuple[int, object], list[Slot]] = {}
        self.slots: list[Slot] = []
        self.channels = [ChannelState() for _ in range(16)]
        self.channel_slots: list[list[Slot]] = [[] for _ in range(16)]  # by mix group
        self.groups = tuple(range(16))
        # (frame, channel, note id) of held notes that will have decayed to silence by then.
        self.decays: list[tuple[int, int, int]] = []

    def blocks(self, planned: Plan, until: int | None = None) -> Iterator[Stereo]:
        """The song's audio: its frames, then the tail while notes still ring (at most TAIL_SECONDS)."""
        self.groups = planned.groups
        events = planned.events
        next_event = 0
        end = planned.frames
        start = 0
        ended = False
        tail_end = end + int(TAIL_SECONDS * self.rate)
        while not ended or (start < tail_end and any(slot.sounding for slot in self.slots)):
            if until is not None and start >= until:
                return
            stop = min(start + BLOCK_FRAMES, end if not ended else tail_end)
            changes: list[Change] = []
            # The song's last frame belongs to its last block, so that its events come before the end.
            limit = stop + 1 if not ended and stop == end else stop
            while True:
                planned_at = events[next_event][0] if next_event < len(events) else limit
                if self.decays and self.decays[0][0] <= planned_at and self.decays[0][0] < limit:
                    frame, channel, order = heapq.heappop(self.decays)
                    self._decayed(frame, start, channel, order)
                elif planned_at < limit:
                    frame, _, kind, order, payload = events[next_event]
                    self._apply(frame, start, kind, order, payload, changes)
                    next_event += 1
                else:
                    break
            if not ended and stop == end:
                self._end_all(end, start)
                ended = True
            block = self._mix(start, stop, changes)
            if len(block):
                yield block if start < end else self._trimmed_tail(block)
            start = stop

    def _trimmed_tail(self, block: Stereo) -> Stereo:
        """A tail block without the silence after the last voice ended."""
        if any(slot.sounding for slot in self.slots):
            return block
        sounding = np.flatnonzero(block.any(axis=1))
        return block[: sounding[-1] + 1 if len(sounding) else 0]

    # Events.

    def _apply(self, frame: int, block_start: int, kind: int, order: int, payload: object,
               changes: list[Change]) -> None:
        if kind == NOTE_ON:
            self._note_on(frame, block_start, order, payload)  # type: ignore[arg-type]
        elif kind == NOTE_OFF:
            self._note_off(frame, block_start, order, payload)  # type: ignore[arg-type]
        else:
            self._control(frame, block_start, payload, changes)

    def _note_on(self, frame: int, block_start: int, order: int, note: Note) -> None:
        found = self.sounds(note.channel, note.program, note.pitch)
        if found is None:
            return
        key, sound = found
        if sound.one_shot:
            self._choke(frame, block_start, note.channel, note.pitch)
        slot = self._free_slot((self.groups[note.channel], key), sound, note.pitch)
        slot.catch_up(frame, block_start)
        slot.sampler.note_on(note.pitch, note.velocity)
        slot.sounding = True
        if sound.one_shot or len(sound.sample) and sound.sample.loop_end is None:
            slot.rings_until = max(slot.rings_until, frame + sound.one_shot_frames(note.pitch, self.rate))
        if not sound.one_shot:
            slot.held.add(note.pitch)
            self.channels[note.channel].held[order] = (slot, note.pitch)
            if sound.silent_after is not None:
                heapq.heappush(self.decays, (frame + sound.silent_after, note.channel, order))

    def _decayed(self, frame: int, block_start: int, channel: int, order: int) -> None:
        """End a held note that no longer sounds, so that its sampler can fall
        silent; the note-off that comes for it later finds nothing to do."""
        state = self.channels[channel]
        if order in state.held:
            self._release(frame, block_start, state, order)

    def _note_off(self, frame: int, block_start: int, order: int, note: Note) -> None:
        state = self.channels[note.channel]
        if order in state.held:
            self._note_off_held(frame, block_start, state, order)

    def _release(self, frame: int, block_start: int, state: ChannelState, order: int) -> None:
        slot, pitch = state.held.pop(order)
        slot.catch_up(frame, block_start)
        slot.sampler.note_off(pitch)
        slot.held.discard(pitch)
        slot.rings_until = max(slot.rings_until, frame + slot.release_frames)

    def _choke(self, frame: int, block_start: int, channel: int, pitch: int) -> None:
        for choked in instruments.CHOKES.get(pitch, ()):
            found = self.sounds(channel, 0, choked)
            for slot in self.pools.get((self.groups[channel], found[0]), []) if found else []:
                if slot.sounding:
                    slot.catch_up(frame, block_start)
                    slot.sampler.note_off(choked)

    def _control(self, frame: int, block_start: int, control: object, changes: list[Change]) -> None:
        channel, number, value = control.channel, control.controller, control.value  # type: ignore[attr-defined]
        state = self.channels[channel]
        if number in (VOLUME, EXPRESSION, PAN):
            setattr(state, {VOLUME: "volume", EXPRESSION: "expression", PAN: "pan"}[number], value)
            changes.append((frame, channel, state.gain(), state.pan_position()))
        elif number == SUSTAIN:
            self._pedal(frame, block_start, state, value >= 64)
        elif number == ALL_NOTES_OFF:
            for order in list(state.held):
                self._note_off_held(frame, block_start, state, order)
        elif number == ALL_SOUND_OFF:
            self._silence(frame, block_start, channel, state)
        elif number == RESET_CONTROLLERS:
            state.expression = 127
            changes.append((frame, channel, state.gain(), state.pan_position()))
            self._pedal(frame, block_start, state, False)

    def _note_off_held(self, frame: int, block_start: int, state: ChannelState, order: int) -> None:
        if state.sustain:
            if order not in state.pedalled:
                state.pedalled.append(order)
        else:
            self._release(frame, block_start, state, order)

    def _pedal(self, frame: int, block_start: int, state: ChannelState, down: bool) -> None:
        state.sustain = down
        if not down:
            for order in state.pedalled:
                if order in state.held:
                    self._release(frame, block_start, state, order)
            state.pedalled.clear()

    def _silence(self, frame: int, block_start: int, channel: int, state: ChannelState) -> None:
        for slot in self.channel_slots[channel]:
            if slot.sounding:
                slot.catch_up(frame, block_start)
                slot.sampler.panic()
                slot.sounding = False
                slot.held.clear()
        state.held.clear()
        state.pedalled.clear()

    def _end_all(self, frame: int, block_start: int) -> None:
        """At the song's end every note still held is released, pedal or not."""
        for state in self.channels:
            state.sustain = False
            for order in list(state.held):
                self._release(frame, block_start, state, order)
            state.pedalled.clear()

    # Samplers.

    def _free_slot(self, key: tuple[int, object], sound: Sound, pitch: int) -> Slot:
        """A sampler of the pool that holds no note of `pitch`, made when every one does.

        A note-off releases every voice of its pitch in a sampler, so two held
        notes of one pitch must never share a sampler. A voice already in its
        release may: a later note-off only restarts its fade. Samplers already
        sounding come first, so that silent ones stay silent.
        """
        pool = self.pools.setdefault(key, [])
        free = [slot for slot in pool if sound.one_shot or pitch not in slot.held]
        if free:
            return next((slot for slot in free if slot.sounding), free[0])
        sampler = Sampler(sound.sample, sample_rate=self.rate, max_voices=MAX_VOICES)
        sampler.set_envelope(sound.envelope)
        index = self.mixer.add_channel(str(key))
        state = self.channels[key[0]]
        self.mixer.set_channel_gain(index, state.gain())
        self.mixer.set_channel_pan(index, state.pan_position())
        slot = Slot(sampler, index, sound.release_frames)
        pool.append(slot)
        self.slots.append(slot)
        self.channel_slots[key[0]].append(slot)
        return slot

    # Mixing.

    def _mix(self, start: int, stop: int, changes: list[Change]) -> Stereo:
        for slot in self.slots:
            if slot.sounding:
                self._finish_block(slot, start, stop)
        buffers = [slot.block or [] for slot in self.slots]
        for slot in self.slots:
            slot.block = None
        frames = stop - start
        if not changes:
            return self._mix_span(buffers, 0, frames)
        pieces = []
        cut = 0
        # Each change was recorded with the values it set, so replaying them in
        # order gives every span of the block the mix of its own frames.
        for frame, channel, gain, pan in changes:
            at = min(frame - start, frames)
            if at > cut:
                pieces.append(self._mix_span(buffers, cut, at))
                cut = at
            self._set_channel(channel, gain, pan)
        pieces.append(self._mix_span(buffers, cut, frames))
        return np.concatenate(pieces)

    def _finish_block(self, slot: Slot, start: int, stop: int) -> None:
        """Render a sounding sampler to the block's end, or only until its last
        voice has fallen silent: the mixer adds a shorter list only up to its end."""
        quiet = stop if slot.held else min(stop, slot.rings_until)
        slot.catch_up(quiet, start)
        slot.sounding = slot.sampler.active_voice_count() > 0
        if slot.sounding and quiet < stop:  # a voice outlasted its reckoning
            slot.catch_up(stop, start)
            slot.sounding = slot.sampler.active_voice_count() > 0

    def _set_channel(self, channel: int, gain: float, pan: float) -> None:
        for slot in self.channel_slots[self.groups[channel]]:
            self.mixer.set_channel_gain(slot.mixer_index, gain)
            self.mixer.set_channel_pan(slot.mixer_index, pan)

    def _mix_span(self, buffers: list[list[float]], begin: int, end: int) -> Stereo:
        frames = end - begin
        if frames <= 0:
            return np.zeros((0, 2), np.float32)
        whole = begin == 0 and all(len(buffer) <= end for buffer in buffers)
        spans = buffers if whole else [buffer[begin:end] for buffer in buffers]
        mixed = self.mixer.mix_down([self.silence[:frames], *spans])
        # Packing the list into 32-bit floats is the quickest way from a list
        # to an array, about a third of the time of numpy.fromiter.
        return np.frombuffer(struct.pack(f"={2 * frames}f", *mixed), np.float32).reshape(frames, 2)
