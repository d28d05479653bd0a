// The part of libasound that the device listings use, loaded at run time.
//
// The module must build without ALSA's development headers and import on
// machines without ALSA, so nothing here includes them or links the library:
// the prototypes below are our own, taken from libasound's public API, and
// the library is opened with dlopen on first use. The walks are written
// against the call tables, so tests can hand them a fake system layer.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace ostina::alsa {

// Opaque handles and records; libasound owns their layout.
struct snd_seq_t;
struct snd_seq_client_info_t;
struct snd_seq_port_info_t;
struct snd_ctl_t;
struct snd_ctl_card_info_t;
struct snd_pcm_info_t;

inline constexpr int kSeqOpenDuplex = 3;  // SND_SEQ_OPEN_DUPLEX
inline constexpr int kSeqNonblock = 1;    // SND_SEQ_NONBLOCK

// Port type bits: SND_SEQ_PORT_TYPE_MIDI_GENERIC | _SYNTH | _APPLICATION.
inline constexpr unsigned kMidiPortTypes = 0x2 | 0x400 | 0x100000;
// Port capability bits: SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ.
inline constexpr unsigned kReadablePortCaps = 0x1 | 0x20;

// snd_pcm_stream_t, an enum of int size.
inline constexpr int kStreamPlayback = 0;
inline constexpr int kStreamCapture = 1;

// X(result, name, parameters) for every function a listing resolves.
#define OSTINA_ALSA_SEQUENCER_CALLS(X)                                                     \
    X(int, snd_seq_open, (snd_seq_t**, const char*, int, int))                            \
    X(int, snd_seq_close, (snd_seq_t*))                                                    \
    X(int, snd_seq_set_client_name, (snd_seq_t*, const char*))                             \
    X(int, snd_seq_client_info_malloc, (snd_seq_client_info_t**))                          \
    X(void, snd_seq_client_info_free, (snd_seq_client_info_t*))                            \
    X(void, snd_seq_client_info_set_client, (snd_seq_client_info_t*, int))                 \
    X(int, snd_seq_client_info_get_client, (const snd_seq_client_info_t*))                 \
    X(const char*, snd_seq_client_info_get_name, (snd_seq_client_info_t*))                 \
    X(int, snd_seq_query_next_client, (snd_seq_t*, snd_seq_client_info_t*))                \
    X(int, snd_seq_get_any_client_info, (snd_seq_t*, int, snd_seq_client_info_t*))        \
    X(int, snd_seq_port_info_malloc, (snd_seq_port_info_t**))                              \
    X(void, snd_seq_port_info_free, (snd_seq_port_info_t*))                                \
    X(void, snd_seq_port_info_set_client, (snd_seq_port_info_t*, int))                     \
    X(void, snd_seq_port_info_set_port, (snd_seq_port_info_t*, int))                       \
    X(int, snd_seq_port_info_get_client, (const snd_seq_port_info_t*))                     \
    X(int, snd_seq_port_info_get_port, (const snd_seq_port_info_t*))                       \
    X(unsigned, snd_seq_port_info_get_type, (const snd_seq_port_info_t*))                  \
    X(unsigned, snd_seq_port_info_get_capability, (const snd_seq_port_info_t*))            \
    X(const char*, snd_seq_port_info_get_name, (const snd_seq_port_info_t*))               \
    X(int, snd_seq_query_next_port, (snd_seq_t*, snd_seq_port_info_t*))                    \
    X(int, snd_seq_get_any_port_info, (snd_seq_t*, int, int, snd_seq_port_info_t*))

// Hint strings are allocated with malloc and freed with free; the hint array
// with snd_device_name_free_hint.
#define OSTINA_ALSA_PCM_CALLS(X)                                                           \
    X(int, snd_config_update, ())                                                          \
    X(int, snd_config_update_free_global, ())                                              \
    X(int, snd_card_next, (int*))                                                          \
    X(int, snd_ctl_open, (snd_ctl_t**, const char*, int))                                  \
    X(int, snd_ctl_close, (snd_ctl_t*))                                                    \
    X(int, snd_ctl_card_info_malloc, (snd_ctl_card_info_t**))                              \
    X(void, snd_ctl_card_info_free, (snd_ctl_card_info_t*))                                \
    X(int, snd_ctl_card_info, (snd_ctl_t*, snd_ctl_card_info_t*))                          \
    X(const char*, snd_ctl_card_info_get_name, (const snd_ctl_card_info_t*))               \
    X(int, snd_ctl_pcm_next_device, (snd_ctl_t*, int*))                                    \
    X(int, snd_pcm_info_malloc, (snd_pcm_info_t**))                                        \
    X(void, snd_pcm_info_free, (snd_pcm_info_t*))                                          \
    X(void, snd_pcm_info_set_device, (snd_pcm_info_t*, unsigned))                          \
    X(void, snd_pcm_info_set_subdevice, (snd_pcm_info_t*, unsigned))                       \
    X(void, snd_pcm_info_set_stream, (snd_pcm_info_t*, int))                               \
    X(int, snd_ctl_pcm_info, (snd_ctl_t*, snd_pcm_info_t*))                                \
    X(const char*, snd_pcm_info_get_name, (const snd_pcm_info_t*))                         \
    X(int, snd_device_name_hint, (int, const char*, void***))                              \
    X(char*, snd_device_name_get_hint, (const void*, const char*))                         \
    X(int, snd_device_name_free_hint, (void**))

// Besides failing, libasound hands the reason for many failures to an error
// handler, process-wide, whose default prints an "ALSA lib ..." line on stderr.
using ErrorHandler = void (*)(const char* file, int line, const char* function, int error, const char* format,
                              ...);

// The handler in use, which libasound keeps in a variable, and its setter
// (null restores the default).
struct ErrorCalls {
    ErrorHandler* snd_lib_error = nullptr;
    int (*snd_lib_error_set_handler)(ErrorHandler) = nullptr;
};

#define OSTINA_ALSA_FIELD(result, name, parameters) result(*name) parameters = nullptr;

// What MidiInput needs: the sequencer client and port queries.
struct SequencerCalls {
    OSTINA_ALSA_SEQUENCER_CALLS(OSTINA_ALSA_FIELD)
    ErrorCalls errors;
};

// What AudioOutput needs: configuration, cards, PCM info and name hints.
struct PcmCalls {
    OSTINA_ALSA_PCM_CALLS(OSTINA_ALSA_FIELD)
    ErrorCalls errors;
};

#undef OSTINA_ALSA_FIELD

// The tables resolved from libasound.so.2, opened on first use; null when the
// library cannot be opened or lacks any function of the table.
const SequencerCalls* sequencer_calls();
const PcmCalls* pcm_calls();

// Keeps libasound from printing while it lives: the module reports every
// failure as an exception and prints nothing itself. The handler is
// process-wide, so the one found is put back at the end, for any other user
// of the library in the process.
class QuietErrors {
public:
    explicit QuietErrors(const ErrorCalls& calls);
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
    ~QuietErrors();

private:
    const ErrorCalls& calls_;
    ErrorHandler previous_;
};

// An owned libasound record, released through the table's own free function.
template <class Record>
using Owned = std::unique_ptr<Record, void (*)(Record*)>;

// Allocates a record with `allocate`; null when the library cannot.
template <class Record>
Owned<Record> allocate(int (*make)(Record**), void (*release)(Record*)) {
    Record* record = nullptr;
    if (make(&record) < 0 || record == nullptr) return Owned<Record>(nullptr, release);
    return Owned<Record>(record, release);
}

// A name as the listings accept it: present and valid UTF-8.
std::optional<std::string> utf8_text(const char* text);

// The same for a string the caller must free, which this frees.
std::optional<std::string> take_utf8_text(char* text);

}  // namespace ostina::alsa
