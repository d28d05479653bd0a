// Every engine type the module exposes, with its Python name. A class file
// defines `definition()` for the types of its area.
#pragma once

#include "audio.hpp"
#include "frame.hpp"

namespace ostina::py {

#define OSTINA_BOUND(Engine, Name)                               \
    template <>                                                  \
    struct Bound<Engine> {                                       \
        static constexpr bool value = true;                      \
        static constexpr const char* name = Name;                \
        static const ClassDefinition& definition();              \
    }

OSTINA_BOUND(audio::AudioFormat, "AudioFormat");
OSTINA_BOUND(audio::AudioBuffer, "AudioBuffer");

#undef OSTINA_BOUND

}  // namespace ostina::py
