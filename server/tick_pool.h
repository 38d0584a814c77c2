// The threads a tick's work is split over: the calling thread is worker 0,
// the others are started once and wait between runs. run() hands every
// worker the same job and returns when all have finished it, so whatever
// the workers wrote is then the caller's to read. Nothing is allocated or
// started per run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace mvserver {

class TickPool {
  public:
    // threads: 1 or more; 1 runs every job on the caller alone.
    explicit TickPool(unsigned threads);
    ~TickPool();
    TickPool(const TickPool &) = delete;
    TickPool &operator=(const TickPool &) = delete;

    [[nodiscard]] unsigned size() const { return size_; }

    // Calls job(worker) once for each worker in [0, size()), worker 0 on the
    // calling thread; returns when every call has returned.
    template <class F> void run(F &job) {
        run_erased(&job, [](void *j, unsigned worker) { (*static_cast<F *>(j))(worker); });
    }

    // Stops and joins the threads; further runs use the caller alone.
    void stop();

  private:
    void run_erased(void *job, void (*call)(void *, unsigned));
    void work(unsigned worker);

    unsigned size_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    uint64_t round_ = 0;   // bumped to start a run
    unsigned running_ = 0; // threads still inside this run
    bool stopping_ = false;
    void *job_ = nullptr;
    void (*call_)(void *, unsigned) = nullptr;
};

// Worker w's contiguous share [first, last) of n items split over workers;
// the shares differ in size by at most one.
[[nodiscard]] inline std::pair<uint32_t, uint32_t> share_of(uint32_t n, unsigned w, unsigned workers) {
    const auto at = [&](unsigned k) { return static_cast<uint32_t>(static_cast<uint64_t>(n) * k / workers); };
    return {at(w), at(w + 1)};
}

// The default --threads: the machine's cores, at most 8.
[[nodiscard]] unsigned default_threads();

} // namespace mvserver
