#include "synth/workers.hpp"

#include <stdexcept>

namespace ostina::synth {
namespace {

// Tasks take tens of microseconds and follow each other closely: a thread
// waiting for one first spins about that long, then sleeps.
constexpr int kSpins = 4000;
constexpr std::uint32_t kGenerationMask = 0x7FFFFF;  // 23 bits: a state never reaches kStopped

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

std::uint32_t generation(std::uint32_t state) { return state >> 8; }

}  // namespace

Workers::Workers(unsigned helpers) {
    threads_.reserve(helpers);
    try {
        for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { serve(); });
    } catch (...) {
        stop();  // the threads already started end before the error leaves
        throw;
    }
}

Workers::~Workers() { stop(); }

void Workers::stop() {
    state_.store(kStopped, std::memory_order_release);
    wake_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

bool Workers::take_one(std::uint32_t seen) {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t next = state & kTaskMask, count = state >> kTaskBits & kTaskMask;
        if (state == kStopped || generation(state) != generation(seen) || next >= count) return false;
        if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel)) {
            try {
                (*task_)(next);
            } catch (...) {
                if (!failed_.exchange(true)) failure_ = std::current_exception();
            }
            if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == count) wake_all();
            return true;
        }
    }
}

// Taking the lock before notifying means a thread between its last check
// and its sleep cannot miss the call.
void Workers::wake_all() {
    { std::lock_guard<std::mutex> lock(sleep_); }
    woken_.notify_all();
}

template <class Ready>
void Workers::await(Ready ready) {
    for (int spin = 0; spin < kSpins; ++spin) {
        if (ready()) return;
        pause();
    }
    std::unique_lock<std::mutex> lock(sleep_);
    woken_.wait(lock, ready);
}

void Workers::serve() {
    std::uint32_t seen = 0;  // the state it began with: a batch or the stop may already have come
    for (;;) {
        await([&] { return state_.load(std::memory_order_acquire) != seen; });
        const std::uint32_t now = state_.load(std::memory_order_acquire);
        if (now == kStopped) return;
        while (take_one(now)) {
        }
        seen = state_.load(std::memory_order_acquire);
        if (generation(seen) != generation(now)) seen = now;  // a new batch came meanwhile: take it at once
    }
}

void Workers::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count > kMostTasks) throw std::length_error("more tasks than a batch holds");
    if (count == 0) return;
    task_ = &task;
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
    const std::uint32_t next_generation = (generation(state_.load(std::memory_order_relaxed)) + 1) & kGenerationMask;
    const std::uint32_t state = next_generation << 8 | static_cast<std::uint32_t>(count) << kTaskBits;
    state_.store(state, std::memory_order_release);
    wake_all();
    while (take_one(state)) {
    }
    await([&] { return done_.load(std::memory_order_acquire) == count; });
    if (failed_.load(std::memory_order_acquire)) std::rethrow_exception(failure_);
}

}  // namespace ostina::synth
