#include "synth/workers.hpp"

#include <stdexcept>

namespace ostina::synth {
namespace {

// Tasks take tens of microseconds and follow each other closely: a thread
// waiting for one first spins about that long, then sleeps.
constexpr int kSpins = 4000;
// 31 bits of generation: a state never reaches kStopped.
constexpr std::uint64_t kGenerationMask = 0x7FFF'FFFF;
constexpr std::uint64_t kCountMask = 0xFFFF;

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

std::uint64_t generation(std::uint64_t state) { return state >> 32; }
std::size_t count_of(std::uint64_t state) { return static_cast<std::size_t>(state >> 16 & kCountMask); }

}  // namespace

Workers::Workers(unsigned helpers) {
    threads_.reserve(helpers);
    try {
        for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this, i] { serve(i + 1); });
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

bool Workers::claim(std::uint64_t batch, std::size_t task) {
    const std::uint64_t bit = std::uint64_t{1} << task;
    std::uint64_t state = state_.load(std::memory_order_acquire);
    for (;;) {
        if (state == kStopped || generation(state) != generation(batch) || (state & bit) != 0) return false;
        if (state_.compare_exchange_weak(state, state | bit, std::memory_order_acq_rel)) return true;
    }
}

void Workers::execute(std::size_t task, std::size_t count) {
    try {
        (*task_)(task);
    } catch (...) {
        if (!failed_.exchange(true)) failure_ = std::current_exception();
    }
    if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == count) wake_all();
}

void Workers::play(std::uint64_t batch, std::size_t thread) {
    const std::size_t count = count_of(batch), threads = threads_.size() + 1;
    // Shares rounded up: with fewer tasks than threads the caller has one,
    // and the last helpers none.
    auto share_start = [&](std::size_t of) { return (count * of + threads - 1) / threads; };
    const std::size_t first = share_start(thread), end = share_start(thread + 1);
    for (std::size_t task = first; task < end; ++task)
        if (claim(batch, task)) execute(task, count);
    for (std::size_t task = count; task-- > 0;)  // the others' shares, from what they would come to last
        if ((task < first || task >= end) && claim(batch, task)) execute(task, count);
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

void Workers::serve(std::size_t thread) {
    std::uint64_t played = 0;  // the state of the batch it played last: a batch or the stop may already have come
    for (;;) {
        await([&] { return generation(state_.load(std::memory_order_acquire)) != generation(played); });
        const std::uint64_t now = state_.load(std::memory_order_acquire);
        if (now == kStopped) return;
        play(now, thread);
        played = now;
    }
}

void Workers::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count > kMostTasks) throw std::length_error("more tasks than a batch holds");
    if (count == 0) return;
    task_ = &task;
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
    const std::uint64_t next_generation = (generation(state_.load(std::memory_order_relaxed)) + 1) & kGenerationMask;
    const std::uint64_t batch = next_generation << 32 | std::uint64_t{count} << 16;
    state_.store(batch, std::memory_order_release);
    wake_all();
    play(batch, 0);
    await([&] { return done_.load(std::memory_order_acquire) == count; });
    if (failed_.load(std::memory_order_acquire)) std::rethrow_exception(failure_);
}

}  // namespace ostina::synth
