// A small pool of persistent threads that run the bands of one frame in parallel.
#include "worker_pool.h"

namespace vantle {

WorkerPool::WorkerPool(unsigned workers) {
    threads_.reserve(workers);
    try {
        for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this, i] { work(i + 1); });
    } catch (...) {
        stop();  // joinable threads must not outlive the half-built pool
        throw;
    }
}

WorkerPool::~WorkerPool() {
    stop();
}

void WorkerPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
    threads_.clear();
}

void WorkerPool::run(unsigned count, const std::function<void(unsigned)>& task) {
    if (count > size() + 1) count = size() + 1;
    if (count > 1) {
        {
            std::lock_guard lock(mutex_);
            task_ = &task;
            count_ = count;
            pending_ = count - 1;
            ++generation_;
        }
        wake_.notify_all();
    }
    task(0);
    if (count > 1) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        task_ = nullptr;
    }
}

void WorkerPool::work(unsigned index) {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (index >= count_) continue;  // this run needs fewer bands than there are workers
        const auto* task = task_;
        lock.unlock();
        (*task)(index);
        lock.lock();
        if (--pending_ == 0) done_.notify_one();
    }
}

}  // namespace vantle
