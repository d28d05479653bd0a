#include "alsa.hpp"

#include <dlfcn.h>

#include <string_view>

namespace ostina::alsa {
namespace {

// Opened once, at the first listing that needs it, and never closed: the
// tables point into it for the rest of the process.
void* library() {
    static void* const handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <class Function>
bool resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

#define OSTINA_ALSA_RESOLVE(result, name, parameters) complete &= resolve(handle, #name, calls.name);

bool resolve_all(void* handle, SequencerCalls& calls) {
    bool complete = true;
    OSTINA_ALSA_SEQUENCER_CALLS(OSTINA_ALSA_RESOLVE)
    return complete;
}

bool resolve_all(void* handle, PcmCalls& calls) {
    bool complete = true;
    OSTINA_ALSA_PCM_CALLS(OSTINA_ALSA_RESOLVE)
    return complete;
}

#undef OSTINA_ALSA_RESOLVE

// The handler variable is resolved like a function: dlsym gives its address.
bool resolve_all(void* handle, ErrorCalls& calls) {
    return resolve(handle, "snd_lib_error", calls.snd_lib_error) &&
           resolve(handle, "snd_lib_error_set_handler", calls.snd_lib_error_set_handler);
}

// Resolved once; a listing whose table is incomplete takes its failure path.
template <class Calls>
const Calls* loaded() {
    static const std::optional<Calls> calls = []() -> std::optional<Calls> {
        Calls resolved;
        void* handle = library();
        if (handle == nullptr || !resolve_all(handle, resolved) || !resolve_all(handle, resolved.errors))
            return std::nullopt;
        return resolved;
    }();
    return calls ? &*calls : nullptr;
}

// Length of the UTF-8 sequence that starts with `lead`, 0 for a byte that
// cannot start one.
int sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The allowed range of the second byte rules out overlong forms, surrogates
// and code points above U+10FFFF.
bool second_byte_fits(unsigned char lead, unsigned char second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return second >= 0x80 && second <= 0xBF;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        int length = sequence_length(lead);
        if (length == 0 || i + length > text.size()) return false;
        for (int k = 1; k < length; ++k) {
            auto byte = static_cast<unsigned char>(text[i + k]);
            bool fits = k == 1 ? second_byte_fits(lead, byte) : byte >= 0x80 && byte <= 0xBF;
            if (!fits) return false;
        }
        i += length;
    }
    return true;
}

// Every failure it would report also comes back as the call's result.
void ignore_error(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

QuietErrors::QuietErrors(const ErrorCalls& calls) : calls_(calls), previous_(*calls.snd_lib_error) {
    calls_.snd_lib_error_set_handler(&ignore_error);
}

QuietErrors::~QuietErrors() { calls_.snd_lib_error_set_handler(previous_); }

const SequencerCalls* sequencer_calls() { return loaded<SequencerCalls>(); }

const PcmCalls* pcm_calls() { return loaded<PcmCalls>(); }

std::optional<std::string> utf8_text(const char* text) {
    if (text == nullptr || !is_utf8(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> take_utf8_text(char* text) {
    std::unique_ptr<char, void (*)(void*)> owned(text, &std::free);
    return utf8_text(text);
}

}  // namespace ostina::alsa
