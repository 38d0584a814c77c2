#include "host/event_loop.h"

namespace mvhost {
namespace {

thread_local const EventLoop *t_current = nullptr;

} // namespace

EventLoop::EventLoop(std::function<void()> started) {
    thread_ = std::thread([this, started = std::move(started)] {
        t_current = this;
        if (started) started();
        serve();
    });
}

EventLoop::~EventLoop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    thread_.join();
}

bool EventLoop::is_current() const {
    return t_current == this;
}

void EventLoop::run(FnRef work) {
    if (is_current()) return work();
    Task task{work};
    std::unique_lock lock(mutex_);
    post(&task);
    work_done_.wait(lock, [&] { return task.done; });
}

bool EventLoop::run_within(FnRef work, std::chrono::milliseconds limit) {
    if (is_current()) {
        work();
        return true;
    }
    Task task{work};
    std::unique_lock lock(mutex_);
    post(&task);
    if (!work_done_.wait_for(lock, limit, [&] { return task.done || task.started; })) {
        withdraw(&task);
        return false;
    }
    work_done_.wait(lock, [&] { return task.done; });
    return true;
}

void EventLoop::post(Task *task) {
    task->prev = tail_;
    (tail_ != nullptr ? tail_->next : head_) = task;
    tail_ = task;
    work_ready_.notify_one();
}

void EventLoop::withdraw(Task *task) {
    (task->prev != nullptr ? task->prev->next : head_) = task->next;
    (task->next != nullptr ? task->next->prev : tail_) = task->prev;
}

void EventLoop::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return head_ != nullptr || stopping_; });
        if (head_ == nullptr) return;
        Task *task = head_;
        withdraw(task);
        task->started = true;
        lock.unlock();
        task->work();
        lock.lock();
        task->done = true;
        work_done_.notify_all();
    }
}

} // namespace mvhost
