#include "tick_pool.h"

#include <algorithm>

namespace mvserver {

unsigned default_threads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

TickPool::TickPool(unsigned threads) : size_(std::max(threads, 1u)) {
    threads_.reserve(size_ - 1);
    for (unsigned w = 1; w < size_; ++w)
        threads_.emplace_back([this, w] { work(w); });
}

TickPool::~TickPool() {
    stop();
}

void TickPool::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread &t : threads_)
        t.join();
    threads_.clear();
    size_ = 1;
}

void TickPool::run_erased(void *job, void (*call)(void *, unsigned)) {
    if (!threads_.empty()) {
        {
            const std::lock_guard lock(mutex_);
            job_ = job;
            call_ = call;
            running_ = static_cast<unsigned>(threads_.size());
            ++round_;
        }
        start_.notify_all();
    }
    call(job, 0);
    if (threads_.empty()) return;
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return running_ == 0; });
}

void TickPool::work(unsigned worker) {
    uint64_t seen = 0;
    for (;;) {
        void *job = nullptr;
        void (*call)(void *, unsigned) = nullptr;
        {
            std::unique_lock lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || round_ != seen; });
            if (stopping_) return;
            seen = round_;
            job = job_;
            call = call_;
        }
        call(job, worker);
        bool last = false;
        {
            const std::lock_guard lock(mutex_);
            last = --running_ == 0;
        }
        if (last) done_.notify_one();
    }
}

} // namespace mvserver
