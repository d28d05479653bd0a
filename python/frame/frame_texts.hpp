// Pinned texts: scripts match these character for character, so they stay
// exactly as written, even where a word or a name reads as if it came from
// another code base ("Vec", "borrowed", "unsendable", "Py…" type paths, the
// "builtins." module of the type names). Texts this code base words itself
// live with the code that raises them.
#pragma once

namespace ostina::py::pinned {

// A str given where a list of numbers is expected.
inline constexpr const char* kStrForList = "Can't extract `str` to `Vec`";

// The re-entrancy rule: an exclusive holder meets any holder, a shared one
// meets an exclusive holder.
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

// The module part of every class's qualified type name.
inline constexpr const char* kTypeModule = "builtins.";

// The full names of the thread-confined classes, and what follows the name
// in their confinement messages.
inline constexpr const char* kAudioOutputName = "ostina::audio_output::PyAudioOutput";
inline constexpr const char* kMidiInputName = "ostina::midi_input::PyMidiInput";
inline constexpr const char* kSentToAnotherThread = " is unsendable, but sent to another thread";
inline constexpr const char* kDroppedOnAnotherThread = " is unsendable, but is being dropped on another thread";

}  // namespace ostina::py::pinned
