// A small pool of persistent threads that run the bands of one frame in parallel.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantle {

class WorkerPool {
public:
    // Starts `workers` threads; they live until the pool is destroyed. Throws std::system_error
    // if the system refuses a thread (none is left running then).
    explicit WorkerPool(unsigned workers);
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs task(0) .. task(count - 1) and returns when all have finished. Task 0 runs on the
    // calling thread, task i on worker i - 1, so count may be at most size() + 1.
    void run(unsigned count, const std::function<void(unsigned)>& task);

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }

private:
    void work(unsigned index);
    void stop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(unsigned)>* task_ = nullptr;
    std::uint64_t generation_ = 0;  // bumped once per run(); workers wait for it to change
    unsigned count_ = 0;
    unsigned pending_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vantle
