// A channel between threads: FIFO with an optional capacity, that knows when
// every sender or every receiver has gone, so neither side waits forever.
//
// Senders and receivers register themselves (add_sender/drop_sender,
// add_receiver/drop_receiver). send() blocks while the channel is full and
// fails once no receiver is left; recv() blocks while it is empty and returns
// nothing once no sender is left and the queue is drained. cancel() drops
// what is queued and wakes everyone, for failed runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace zd::compress {

template <typename T>
class Channel {
public:
    // capacity 0 means unbounded.
    explicit Channel(size_t capacity) : capacity_(capacity) {}

    void add_sender() {
        std::lock_guard lock(mu_);
        ++senders_;
    }
    void drop_sender() {
        std::lock_guard lock(mu_);
        if (--senders_ == 0) not_empty_.notify_all();
    }
    void add_receiver() {
        std::lock_guard lock(mu_);
        ++receivers_;
    }
    void drop_receiver() {
        std::lock_guard lock(mu_);
        if (--receivers_ == 0) not_full_.notify_all();
    }

    // False when no receiver is left (the item is dropped).
    bool send(T item) {
        std::unique_lock lock(mu_);
        not_full_.wait(lock, [&] {
            return receivers_ == 0 || cancelled_ || capacity_ == 0 || queue_.size() < capacity_;
        });
        if (receivers_ == 0 || cancelled_) return false;
        queue_.push_back(std::move(item));
        not_empty_.notify_one();
        return true;
    }

    // Nothing when every sender has gone and the queue is empty, or on cancel.
    std::optional<T> recv() {
        std::unique_lock lock(mu_);
        not_empty_.wait(lock, [&] { return !queue_.empty() || senders_ == 0 || cancelled_; });
        if (cancelled_ || queue_.empty()) return std::nullopt;
        T item = std::move(queue_.front());
        queue_.pop_front();
        not_full_.notify_one();
        return item;
    }

    void cancel() {
        std::lock_guard lock(mu_);
        cancelled_ = true;
        queue_.clear();
        not_full_.notify_all();
        not_empty_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable not_full_, not_empty_;
    std::deque<T> queue_;
    size_t capacity_;
    size_t senders_ = 0;
    size_t receivers_ = 0;
    bool cancelled_ = false;
};

}  // namespace zd::compress
