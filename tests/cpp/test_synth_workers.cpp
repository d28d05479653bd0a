// The helper threads: every task of every batch runs exactly once, batches
// follow each other without a late helper taking a task twice, and a task's
// exception reaches the caller, after which the workers still serve.
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "synth/workers.hpp"

using namespace ostina::synth;

namespace {

void test_each_task_runs_once_in_every_batch(unsigned helpers) {
    Workers workers(helpers);
    std::vector<std::atomic<int>> runs(Workers::kMostTasks);
    bool once = true;
    for (int batch = 0; batch < 3000; ++batch) {
        const std::size_t count = static_cast<std::size_t>(batch) % (Workers::kMostTasks + 1);
        for (auto& run : runs) run.store(0);
        workers.run(count, [&](std::size_t task) { runs[task].fetch_add(1); });
        for (std::size_t task = 0; task < runs.size(); ++task) once &= runs[task].load() == (task < count ? 1 : 0);
    }
    CHECK(once);
}

void test_a_tasks_exception_reaches_the_caller() {
    Workers workers(2);
    std::atomic<int> ran{0};
    CHECK_THROWS(std::runtime_error, "task 3 failed", workers.run(6, [&](std::size_t task) {
        ran.fetch_add(1);
        if (task == 3) throw std::runtime_error("task 3 failed");
    }));
    CHECK_EQ(ran.load(), 6);  // the other tasks still ran
    ran.store(0);
    workers.run(5, [&](std::size_t) { ran.fetch_add(1); });
    CHECK_EQ(ran.load(), 5);
}

void test_a_batch_holds_at_most_its_tasks() {
    Workers workers(1);
    CHECK_THROWS(std::length_error, "more tasks than a batch holds",
                 workers.run(Workers::kMostTasks + 1, [](std::size_t) {}));
}

}  // namespace

int main() {
    for (unsigned helpers : {0u, 1u, 3u}) test_each_task_runs_once_in_every_batch(helpers);
    test_a_tasks_exception_reaches_the_caller();
    test_a_batch_holds_at_most_its_tasks();
    return check::finish();
}
