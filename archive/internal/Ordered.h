#pragma once
// Work in parallel, results handed over in order: produce(i) runs on worker threads for i = 0, 1, ...,
// a bounded way ahead of the consumer, who takes the results one after another.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace archive::engine {

template <typename Result> class OrderedWork {
  public:
    struct Bounds {
        size_t ahead;         // items that may be produced or held beyond the one the consumer waits for
        std::uint64_t budget; // cost that may be in flight at once; an item alone may exceed it
    };

    // cost(i) weighs item i against the budget (its input bytes, say).
    OrderedWork(size_t count, unsigned workers, Bounds bounds, std::function<Result(size_t)> produce,
                std::function<std::uint64_t(size_t)> cost)
        : produce_(std::move(produce)), cost_(std::move(cost)), bounds_(bounds), results_(count) {
        for (unsigned i = 0; i < workers; ++i)
            workers_.emplace_back([this] { work(); });
    }
    ~OrderedWork() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        workers_.clear(); // joins
    }
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    size_t size() const { return results_.size(); }

    // Waits for item i, calling tick about every tenth of a second meanwhile; a failure of produce(i) is
    // rethrown here. Items are taken in order, each once.
    Result take(size_t i, const std::function<void()>& tick = {}) {
        std::unique_lock lock(mutex_);
        while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return results_[i].done; })) {
            if (!tick) continue;
            lock.unlock();
            tick();
            lock.lock();
        }
        Slot slot = std::move(results_[i]);
        inFlight_ -= slot.cost;
        taken_ = i + 1;
        lock.unlock();
        changed_.notify_all();
        if (slot.failure) std::rethrow_exception(slot.failure);
        return std::move(*slot.value);
    }

  private:
    struct Slot {
        bool done = false;
        std::uint64_t cost = 0;
        std::optional<Result> value;
        std::exception_ptr failure;
    };

    void work() {
        for (;;) {
            size_t i;
            std::uint64_t cost;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] {
                    if (stopping_ || next_ >= results_.size()) return true;
                    const std::uint64_t c = cost_(next_);
                    return next_ < taken_ + bounds_.ahead &&
                           (inFlight_ == 0 || inFlight_ + c <= bounds_.budget);
                });
                if (stopping_ || next_ >= results_.size()) return;
                i = next_++;
                cost = cost_(i);
                inFlight_ += cost;
            }
            Slot slot;
            slot.cost = cost;
            try {
                slot.value.emplace(produce_(i));
            } catch (...) {
                slot.failure = std::current_exception();
            }
            slot.done = true;
            {
                std::lock_guard lock(mutex_);
                results_[i] = std::move(slot);
            }
            changed_.notify_all();
        }
    }

    const std::function<Result(size_t)> produce_;
    const std::function<std::uint64_t(size_t)> cost_;
    const Bounds bounds_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> results_;
    size_t next_ = 0, taken_ = 0;
    std::uint64_t inFlight_ = 0;
    bool stopping_ = false;
    std::vector<std::jthread> workers_; // last: the workers stop before the rest goes
};

} // namespace archive::engine
