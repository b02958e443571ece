/*
 * Host HIDL runtime: TaskRunner.
 */
#include <hidl/TaskRunner.h>

namespace android {
namespace hardware {
namespace details {

struct TaskRunner::State {
    std::mutex lock;
    std::condition_variable cond;
    std::deque<Task> tasks;
    size_t limit = 0;
    bool stopping = false;
};

TaskRunner::TaskRunner() : mState(std::make_shared<State>()) {}

TaskRunner::~TaskRunner() {
    {
        std::lock_guard<std::mutex> lock(mState->lock);
        mState->stopping = true;
        mState->cond.notify_all();
    }
    if (mThread.joinable()) {
        if (mThread.get_id() == std::this_thread::get_id()) {
            // Destroyed by one of its own tasks: the thread ends by itself.
            mThread.detach();
        } else {
            mThread.join();
        }
    }
}

void TaskRunner::start(size_t limit) {
    mState->limit = limit;
    std::shared_ptr<State> state = mState;
    mThread = std::thread([state] {
        for (;;) {
            Task task;
            {
                std::unique_lock<std::mutex> lock(state->lock);
                state->cond.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
                if (state->tasks.empty()) return;
                task = std::move(state->tasks.front());
                state->tasks.pop_front();
            }
            task();
        }
    });
}

bool TaskRunner::push(const Task& task) {
    std::lock_guard<std::mutex> lock(mState->lock);
    if (mState->stopping || (mState->limit != 0 && mState->tasks.size() >= mState->limit)) {
        return false;
    }
    mState->tasks.push_back(task);
    mState->cond.notify_one();
    return true;
}

}  // namespace details
}  // namespace hardware
}  // namespace android
