// A fake ALSA system layer: an in-memory sequencer, sound cards and name
// hints behind the same C functions libasound exports. The C++ tests fill the
// call tables with these functions; the test setup also builds this file into
// a stand-in libasound.so.2, driven from Python through the fake_alsa_*
// control functions. Include it in exactly one translation unit.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "alsa.hpp"

using namespace ostina::alsa;

namespace fake {

using Text = std::optional<std::string>;

inline Text text(const char* value) { return value ? Text(value) : std::nullopt; }
inline const char* c_text(const Text& value) { return value ? value->c_str() : nullptr; }

struct Client {
    int number;
    Text name;
};

struct Port {
    int client;
    int port;
    Text name;
    unsigned type;
    unsigned capability;
    bool vanished = false;  // still walked, gone by the time it is read back
};

struct Pcm {
    int device;
    bool playback;
    bool capture;
    Text playback_name;
    Text capture_name;
};

struct Card {
    int index;
    Text name;
    std::vector<Pcm> pcms;
};

struct System {
    std::vector<Client> clients;  // in client order
    std::vector<Port> ports;      // in client, then port order
    int next_client = 128;
    int open_handles = 0;
    std::vector<Card> cards;  // in index order
    std::vector<std::map<std::string, std::string>> hints;
    std::set<std::string> failing;  // functions that fail on every call
    std::map<std::string, int> calls;
    int live_records = 0;  // allocated and not yet freed
};

inline System& system() {
    static System state;
    return state;
}

// libasound's default error handler, which prints.
inline void print_error(const char* file, int line, const char* function, int error, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::fprintf(stderr, "ALSA lib %s:%i:(%s) ", file, line, function);
    std::vfprintf(stderr, format, arguments);
    if (error != 0) std::fprintf(stderr, ": %s", std::strerror(error));
    std::fputc('\n', stderr);
    va_end(arguments);
}

// A handler a test installs in place of the default, counting what reaches it.
inline int errors_counted = 0;
inline void count_error(const char*, int, const char*, int, const char*, ...) { ++errors_counted; }

}  // namespace fake

extern "C" {
ErrorHandler snd_lib_error = &fake::print_error;

int snd_lib_error_set_handler(ErrorHandler handler) {
    snd_lib_error = handler != nullptr ? handler : &fake::print_error;
    return 0;
}
}

namespace fake {

// Counts the call; true when the test made `function` fail, which is also
// reported to the error handler, as libasound reports its failures.
inline bool fails(const char* function) {
    ++system().calls[function];
    if (system().failing.count(function) == 0) return false;
    snd_lib_error(__FILE__, __LINE__, function, EIO, "%s failed", function);
    return true;
}

// Walks that never move on would repeat one answer for ever; the fake ends
// them instead, so such a fault shows up as a wrong listing, not a hang.
inline bool walked_too_long(const char* function) { return system().calls[function] > 10000; }

inline Client* find_client(int number) {
    for (Client& client : system().clients)
        if (client.number == number) return &client;
    return nullptr;
}

inline Card* find_card(int index) {
    for (Card& card : system().cards)
        if (card.index == index) return &card;
    return nullptr;
}

}  // namespace fake

// Records with the fields the getters read.
struct ostina::alsa::snd_seq_t {
    int client;
};
struct ostina::alsa::snd_seq_client_info_t {
    int client = 0;
    fake::Text name;
};
struct ostina::alsa::snd_seq_port_info_t {
    int client = 0;
    int port = 0;
    unsigned type = 0;
    unsigned capability = 0;
    fake::Text name;
};
struct ostina::alsa::snd_ctl_t {
    int card;
};
struct ostina::alsa::snd_ctl_card_info_t {
    fake::Text name;
};
struct ostina::alsa::snd_pcm_info_t {
    unsigned device = 0;
    unsigned subdevice = 99;
    int stream = -1;
    fake::Text name;
};

namespace fake {

template <class Record>
int allocate(const char* function, Record** record) {
    if (fails(function)) return -ENOMEM;
    *record = new Record();
    ++system().live_records;
    return 0;
}

template <class Record>
void release(Record* record) {
    delete record;
    --system().live_records;
}

}  // namespace fake

extern "C" {

// ---------------------------------------------------------------------------
// Sequencer

int snd_seq_open(snd_seq_t** handle, const char* name, int streams, int mode) {
    if (fake::fails("snd_seq_open")) return -ENOENT;
    if (std::strcmp(name, "default") != 0 || streams != kSeqOpenDuplex || mode != kSeqNonblock) return -EINVAL;
    int number = fake::system().next_client++;
    fake::system().clients.push_back({number, "Client-" + std::to_string(number)});
    ++fake::system().open_handles;
    *handle = new snd_seq_t{number};
    return 0;
}

int snd_seq_close(snd_seq_t* handle) {
    ++fake::system().calls["snd_seq_close"];
    std::erase_if(fake::system().clients, [&](const fake::Client& c) { return c.number == handle->client; });
    --fake::system().open_handles;
    delete handle;
    return 0;
}

int snd_seq_set_client_name(snd_seq_t* handle, const char* name) {
    if (fake::fails("snd_seq_set_client_name")) return -EINVAL;
    fake::find_client(handle->client)->name = name;
    return 0;
}

int snd_seq_client_info_malloc(snd_seq_client_info_t** info) {
    return fake::allocate("snd_seq_client_info_malloc", info);
}
void snd_seq_client_info_free(snd_seq_client_info_t* info) { fake::release(info); }
void snd_seq_client_info_set_client(snd_seq_client_info_t* info, int client) { info->client = client; }
int snd_seq_client_info_get_client(const snd_seq_client_info_t* info) { return info->client; }
const char* snd_seq_client_info_get_name(snd_seq_client_info_t* info) { return fake::c_text(info->name); }

int snd_seq_query_next_client(snd_seq_t*, snd_seq_client_info_t* info) {
    if (fake::fails("snd_seq_query_next_client") || fake::walked_too_long("snd_seq_query_next_client"))
        return -ENOENT;
    for (const fake::Client& client : fake::system().clients) {
        if (client.number <= info->client) continue;
        info->client = client.number;
        info->name = client.name;
        return 0;
    }
    return -ENOENT;
}

int snd_seq_get_any_client_info(snd_seq_t*, int client, snd_seq_client_info_t* info) {
    if (fake::fails("snd_seq_get_any_client_info")) return -ENOENT;
    const fake::Client* found = fake::find_client(client);
    if (found == nullptr) return -ENOENT;
    info->client = found->number;
    info->name = found->name;
    return 0;
}

int snd_seq_port_info_malloc(snd_seq_port_info_t** info) {
    return fake::allocate("snd_seq_port_info_malloc", info);
}
void snd_seq_port_info_free(snd_seq_port_info_t* info) { fake::release(info); }
void snd_seq_port_info_set_client(snd_seq_port_info_t* info, int client) { info->client = client; }
void snd_seq_port_info_set_port(snd_seq_port_info_t* info, int port) { info->port = port; }
int snd_seq_port_info_get_client(const snd_seq_port_info_t* info) { return info->client; }
int snd_seq_port_info_get_port(const snd_seq_port_info_t* info) { return info->port; }
unsigned snd_seq_port_info_get_type(const snd_seq_port_info_t* info) { return info->type; }
unsigned snd_seq_port_info_get_capability(const snd_seq_port_info_t* info) { return info->capability; }
const char* snd_seq_port_info_get_name(const snd_seq_port_info_t* info) { return fake::c_text(info->name); }

static void fill_port(snd_seq_port_info_t* info, const fake::Port& port) {
    *info = {port.client, port.port, port.type, port.capability, port.name};
}

int snd_seq_query_next_port(snd_seq_t*, snd_seq_port_info_t* info) {
    if (fake::fails("snd_seq_query_next_port") || fake::walked_too_long("snd_seq_query_next_port"))
        return -ENOENT;
    for (const fake::Port& port : fake::system().ports) {
        if (port.client != info->client || port.port <= info->port) continue;
        fill_port(info, port);
        return 0;
    }
    return -ENOENT;
}

int snd_seq_get_any_port_info(snd_seq_t*, int client, int port, snd_seq_port_info_t* info) {
    if (fake::fails("snd_seq_get_any_port_info")) return -ENOENT;
    for (const fake::Port& candidate : fake::system().ports) {
        if (candidate.client != client || candidate.port != port || candidate.vanished) continue;
        fill_port(info, candidate);
        return 0;
    }
    return -ENOENT;
}

// ---------------------------------------------------------------------------
// Configuration, cards and PCM info

int snd_config_update() { return fake::fails("snd_config_update") ? -ENOENT : 1; }
int snd_config_update_free_global() { return fake::fails("snd_config_update_free_global") ? -EINVAL : 0; }

int snd_card_next(int* card) {
    if (fake::fails("snd_card_next") || fake::walked_too_long("snd_card_next")) return -EINVAL;
    for (const fake::Card& candidate : fake::system().cards) {
        if (candidate.index <= *card) continue;
        *card = candidate.index;
        return 0;
    }
    *card = -1;
    return 0;
}

int snd_ctl_open(snd_ctl_t** control, const char* name, int mode) {
    if (fake::fails("snd_ctl_open") || mode != 0 || std::strncmp(name, "hw:", 3) != 0) return -ENOENT;
    const fake::Card* card = fake::find_card(std::atoi(name + 3));
    if (card == nullptr || std::to_string(card->index) != name + 3) return -ENOENT;
    *control = new snd_ctl_t{card->index};
    ++fake::system().live_records;
    return 0;
}

int snd_ctl_close(snd_ctl_t* control) {
    fake::release(control);
    return 0;
}

int snd_ctl_card_info_malloc(snd_ctl_card_info_t** info) {
    return fake::allocate("snd_ctl_card_info_malloc", info);
}
void snd_ctl_card_info_free(snd_ctl_card_info_t* info) { fake::release(info); }

int snd_ctl_card_info(snd_ctl_t* control, snd_ctl_card_info_t* info) {
    if (fake::fails("snd_ctl_card_info")) return -EIO;
    info->name = fake::find_card(control->card)->name;
    return 0;
}

const char* snd_ctl_card_info_get_name(const snd_ctl_card_info_t* info) { return fake::c_text(info->name); }

int snd_ctl_pcm_next_device(snd_ctl_t* control, int* device) {
    if (fake::fails("snd_ctl_pcm_next_device") || fake::walked_too_long("snd_ctl_pcm_next_device"))
        return -EIO;
    for (const fake::Pcm& pcm : fake::find_card(control->card)->pcms) {
        if (pcm.device <= *device) continue;
        *device = pcm.device;
        return 0;
    }
    *device = -1;
    return 0;
}

int snd_pcm_info_malloc(snd_pcm_info_t** info) { return fake::allocate("snd_pcm_info_malloc", info); }
void snd_pcm_info_free(snd_pcm_info_t* info) { fake::release(info); }
void snd_pcm_info_set_device(snd_pcm_info_t* info, unsigned device) { info->device = device; }
void snd_pcm_info_set_subdevice(snd_pcm_info_t* info, unsigned subdevice) { info->subdevice = subdevice; }
void snd_pcm_info_set_stream(snd_pcm_info_t* info, int stream) { info->stream = stream; }
const char* snd_pcm_info_get_name(const snd_pcm_info_t* info) { return fake::c_text(info->name); }

int snd_ctl_pcm_info(snd_ctl_t* control, snd_pcm_info_t* info) {
    if (fake::fails("snd_ctl_pcm_info") || info->subdevice != 0) return -EINVAL;
    for (const fake::Pcm& pcm : fake::find_card(control->card)->pcms) {
        if (pcm.device != static_cast<int>(info->device)) continue;
        bool playback = info->stream == kStreamPlayback;
        if (!(playback ? pcm.playback : pcm.capture)) return -ENOENT;
        info->name = playback ? pcm.playback_name : pcm.capture_name;
        return 0;
    }
    return -ENOENT;
}

// ---------------------------------------------------------------------------
// Name hints: each entry points at one of the system's hint maps.

int snd_device_name_hint(int card, const char* iface, void*** hints) {
    if (fake::fails("snd_device_name_hint") || card != -1 || std::strcmp(iface, "pcm") != 0) return -ENOENT;
    auto& all = fake::system().hints;
    auto** array = new void*[all.size() + 1];
    for (std::size_t i = 0; i < all.size(); ++i) array[i] = &all[i];
    array[all.size()] = nullptr;
    ++fake::system().live_records;
    *hints = array;
    return 0;
}

char* snd_device_name_get_hint(const void* hint, const char* id) {
    ++fake::system().calls["snd_device_name_get_hint"];
    const auto& values = *static_cast<const std::map<std::string, std::string>*>(hint);
    auto found = values.find(id);
    return found == values.end() ? nullptr : strdup(found->second.c_str());
}

int snd_device_name_free_hint(void** hints) {
    delete[] hints;
    --fake::system().live_records;
    return 0;
}

// ---------------------------------------------------------------------------
// Control functions for the tests. A null text stands for a missing name.

void fake_alsa_reset() { fake::system() = {}; }

// Installs the counting handler; what reached it, and whether it is in use.
void fake_alsa_count_errors() { snd_lib_error = &fake::count_error; }
int fake_alsa_errors_counted() { return fake::errors_counted; }
int fake_alsa_counting_errors() { return snd_lib_error == &fake::count_error; }

void fake_alsa_fail(const char* function) { fake::system().failing.insert(function); }

int fake_alsa_calls(const char* function) { return fake::system().calls[function]; }

int fake_alsa_live_records() { return fake::system().live_records; }

int fake_alsa_open_handles() { return fake::system().open_handles; }

void fake_alsa_add_client(int client, const char* name) {
    auto& clients = fake::system().clients;
    auto after = std::find_if(clients.begin(), clients.end(), [&](const fake::Client& c) { return c.number > client; });
    clients.insert(after, {client, fake::text(name)});
}

// NULL when the client does not exist or has no name.
const char* fake_alsa_client_name(int client) {
    const fake::Client* found = fake::find_client(client);
    return found ? fake::c_text(found->name) : nullptr;
}

void fake_alsa_add_port(int client, int port, const char* name, unsigned type, unsigned capability) {
    auto& ports = fake::system().ports;
    auto after = std::find_if(ports.begin(), ports.end(), [&](const fake::Port& p) {
        return p.client > client || (p.client == client && p.port > port);
    });
    ports.insert(after, {client, port, fake::text(name), type, capability});
}

void fake_alsa_vanish_port(int client, int port) {
    for (fake::Port& candidate : fake::system().ports)
        if (candidate.client == client && candidate.port == port) candidate.vanished = true;
}

void fake_alsa_add_card(int index, const char* name) { fake::system().cards.push_back({index, fake::text(name), {}}); }

void fake_alsa_add_pcm(int card, int device, int playback, int capture, const char* playback_name,
                       const char* capture_name) {
    fake::find_card(card)->pcms.push_back(
        {device, playback != 0, capture != 0, fake::text(playback_name), fake::text(capture_name)});
}

// NAME, DESC and IOID; a null value leaves that field out.
void fake_alsa_add_hint(const char* name, const char* description, const char* ioid) {
    std::map<std::string, std::string> values;
    if (name) values["NAME"] = name;
    if (description) values["DESC"] = description;
    if (ioid) values["IOID"] = ioid;
    fake::system().hints.push_back(std::move(values));
}

}  // extern "C"

namespace fake {

// The call tables over this fake, as the listings take them.
inline SequencerCalls sequencer_calls() {
    SequencerCalls calls;
#define OSTINA_FAKE_FILL(result, name, parameters) calls.name = &::name;
    OSTINA_ALSA_SEQUENCER_CALLS(OSTINA_FAKE_FILL)
    calls.errors = {&snd_lib_error, &snd_lib_error_set_handler};
    return calls;
}

inline PcmCalls pcm_calls() {
    PcmCalls calls;
    OSTINA_ALSA_PCM_CALLS(OSTINA_FAKE_FILL)
#undef OSTINA_FAKE_FILL
    calls.errors = {&snd_lib_error, &snd_lib_error_set_handler};
    return calls;
}

}  // namespace fake
