/*
 * Host HIDL runtime: the queue behind one-way calls in passthrough mode.
 */
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace android {
namespace hardware {
namespace details {

// Runs pushed tasks in order on one thread of its own; the thread ends when
// the runner is destroyed (after the tasks already queued have run).
class TaskRunner {
public:
    using Task = std::function<void()>;

    TaskRunner();
    ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    void start(size_t limit);
    bool push(const Task& task);

private:
    struct State;
    std::shared_ptr<State> mState;
    std::thread mThread;
};

}  // namespace details
}  // namespace hardware
}  // namespace android
