// One of the host's threads: it runs the work posted to it, in order, one item
// at a time, while the posting thread waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "host/fn_ref.h"

namespace mvhost {

class EventLoop {
  public:
    // started runs first on the new thread (e.g. to mark it as the audio thread).
    explicit EventLoop(std::function<void()> started = {});
    // Runs what is still queued, then ends the thread.
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    [[nodiscard]] bool is_current() const;
    // Runs work on this loop and waits for it; on the loop's own thread, at once.
    void run(FnRef work);
    // The same, but gives up when the loop has not started the work within
    // limit: the work is withdrawn (never run) and the answer is false. Work
    // already started is waited for.
    bool run_within(FnRef work, std::chrono::milliseconds limit);

  private:
    struct Task {
        FnRef work;
        Task *prev = nullptr;
        Task *next = nullptr;
        bool started = false;
        bool done = false;
    };
    void post(Task *task);     // under mutex_
    void withdraw(Task *task); // under mutex_
    void serve();

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    // An intrusive queue of tasks that live on their posters' stacks, so that
    // posting allocates nothing on the plugin's threads.
    Task *head_ = nullptr;
    Task *tail_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace mvhost
