#include "midi_input.hpp"

#include <new>
#include <optional>
#include <utility>

#include "errors.hpp"
#include "format.hpp"

namespace ostina::midi_input {
namespace {

using alsa::SequencerCalls;
using alsa::snd_seq_t;

// One text for every cause: the library's error code is not reported.
[[noreturn]] void fail_to_create() {
    throw RuntimeError("Failed to create MIDI input: MIDI support could not be initialized");
}

snd_seq_t* open_client(const SequencerCalls* calls, const std::string& client_name) {
    if (calls == nullptr) fail_to_create();
    alsa::QuietErrors quiet(calls->errors);
    snd_seq_t* handle = nullptr;
    if (calls->snd_seq_open(&handle, "default", alsa::kSeqOpenDuplex, alsa::kSeqNonblock) < 0)
        fail_to_create();
    // A name with a NUL would be cut short by the C call.
    if (client_name.find('\0') != std::string::npos ||
        calls->snd_seq_set_client_name(handle, client_name.c_str()) < 0) {
        calls->snd_seq_close(handle);
        fail_to_create();
    }
    return handle;
}

struct Address {
    int client;
    int port;
};

alsa::Owned<alsa::snd_seq_client_info_t> new_client_info(const SequencerCalls& calls) {
    auto info = alsa::allocate(calls.snd_seq_client_info_malloc, calls.snd_seq_client_info_free);
    if (!info) throw std::bad_alloc();
    return info;
}

alsa::Owned<alsa::snd_seq_port_info_t> new_port_info(const SequencerCalls& calls) {
    auto info = alsa::allocate(calls.snd_seq_port_info_malloc, calls.snd_seq_port_info_free);
    if (!info) throw std::bad_alloc();
    return info;
}

// The client after `previous` (-1 for the first), or nothing at the end. The
// fresh record starts from the previous number, so the walk moves on.
std::optional<int> next_client(const SequencerCalls& calls, snd_seq_t* handle, int previous) {
    auto info = new_client_info(calls);
    calls.snd_seq_client_info_set_client(info.get(), previous);
    if (calls.snd_seq_query_next_client(handle, info.get()) < 0) return std::nullopt;
    return calls.snd_seq_client_info_get_client(info.get());
}

bool is_midi_source(const SequencerCalls& calls, const alsa::snd_seq_port_info_t* info) {
    return (calls.snd_seq_port_info_get_type(info) & alsa::kMidiPortTypes) != 0 &&
           (calls.snd_seq_port_info_get_capability(info) & alsa::kReadablePortCaps) == alsa::kReadablePortCaps;
}

void collect_ports(const SequencerCalls& calls, snd_seq_t* handle, int client, std::vector<Address>& kept) {
    for (int port = -1;;) {
        auto info = new_port_info(calls);
        calls.snd_seq_port_info_set_client(info.get(), client);
        calls.snd_seq_port_info_set_port(info.get(), port);
        if (calls.snd_seq_query_next_port(handle, info.get()) < 0) return;
        port = calls.snd_seq_port_info_get_port(info.get());
        if (is_midi_source(calls, info.get()))
            kept.push_back({calls.snd_seq_port_info_get_client(info.get()), port});
    }
}

std::vector<Address> midi_sources(const SequencerCalls& calls, snd_seq_t* handle) {
    std::vector<Address> kept;
    for (auto client = next_client(calls, handle, -1); client; client = next_client(calls, handle, *client))
        collect_ports(calls, handle, *client, kept);
    return kept;
}

// The entry of the port at `address` as it is now; nothing when it has gone
// or a name is missing or not UTF-8.
std::optional<std::string> port_entry(const SequencerCalls& calls, snd_seq_t* handle, Address address) {
    auto port = new_port_info(calls);
    if (calls.snd_seq_get_any_port_info(handle, address.client, address.port, port.get()) < 0)
        return std::nullopt;
    auto client = new_client_info(calls);
    int owner = calls.snd_seq_port_info_get_client(port.get());
    if (calls.snd_seq_get_any_client_info(handle, owner, client.get()) < 0) return std::nullopt;
    auto client_name = alsa::utf8_text(calls.snd_seq_client_info_get_name(client.get()));
    auto port_name = alsa::utf8_text(calls.snd_seq_port_info_get_name(port.get()));
    if (!client_name || !port_name) return std::nullopt;
    return concat(*client_name, ':', *port_name, ' ', owner, ':',
                  calls.snd_seq_port_info_get_port(port.get()));
}

}  // namespace

MidiInput::MidiInput(const std::string& client_name) : MidiInput(alsa::sequencer_calls(), client_name) {}

MidiInput::MidiInput(const alsa::SequencerCalls* calls, const std::string& client_name)
    : calls_(calls), handle_(open_client(calls, client_name)) {}

MidiInput::MidiInput(MidiInput&& other) noexcept
    : calls_(other.calls_), handle_(std::exchange(other.handle_, nullptr)) {}

MidiInput::~MidiInput() {
    if (handle_ == nullptr) return;
    alsa::QuietErrors quiet(calls_->errors);
    calls_->snd_seq_close(handle_);
}

std::vector<std::string> MidiInput::list_ports() const {
    alsa::QuietErrors quiet(calls_->errors);
    std::vector<std::string> entries;
    for (Address address : midi_sources(*calls_, handle_))
        if (auto entry = port_entry(*calls_, handle_, address)) entries.push_back(std::move(*entry));
    return entries;
}

}  // namespace ostina::midi_input
