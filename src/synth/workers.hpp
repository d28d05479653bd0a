// Helper threads that share a render's independent tasks with the caller:
// the synthesizer's groups of voices, each playing into its own buffers,
// and its effect units' parts of a chunk.
// Which thread runs a task never changes what the task computes, so the bits
// of a render are the same for any number of threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ostina::synth {

class Workers {
public:
    static constexpr std::size_t kMostTasks = 15;  // a batch's tasks at most

    explicit Workers(unsigned helpers);  // threads besides the caller's
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Runs task(i) for every i below `count` on the caller's thread and the
    // helpers', and returns once all have ended; rethrows the first
    // exception a task threw. Each thread first takes the tasks of its own
    // share of the batch (the caller the first share), so that a task's data
    // mostly stays in one core's cache from batch to batch, then any task
    // still left, from the last.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    // The batch's state in one word, so that a helper late from an earlier
    // batch cannot take a task of this one: generation, tasks, and a bit for
    // each task taken.
    static constexpr std::uint64_t kStopped = UINT64_MAX;

    void stop();
    void serve(std::size_t thread);
    void play(std::uint64_t batch, std::size_t thread);  // takes tasks of `batch` while any is left
    bool claim(std::uint64_t batch, std::size_t task);   // whether this thread took `task` of `batch`
    void execute(std::size_t task, std::size_t count);
    void wake_all();
    // Spins a while, then sleeps, until `ready()`.
    template <class Ready>
    void await(Ready ready);

    std::vector<std::thread> threads_;
    std::atomic<std::uint64_t> state_{0};
    std::atomic<std::uint32_t> done_{0};
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::exception_ptr failure_;
    std::atomic<bool> failed_{false};
    std::mutex sleep_;
    std::condition_variable woken_;  // a new batch, a batch's end, or the stop
};

}  // namespace ostina::synth
