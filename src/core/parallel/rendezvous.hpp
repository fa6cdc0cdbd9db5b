// A rendezvous channel (capacity 0) between one sending and one receiving
// thread: a send completes only when the receiver has taken the value, which
// gives back-pressure without a queue. Either side can close its end; a send
// to a closed receiver fails, and a receive after the sender closed returns
// nothing once no value is pending.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>

namespace brandor::parallel {

template <class T>
class Rendezvous {
public:
    // Blocks until the receiver takes `value`; false when the receiver has ended.
    bool send(T value) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !slot_ || receiver_closed_; });
        if (receiver_closed_) return false;
        slot_.emplace(std::move(value));
        changed_.notify_all();
        changed_.wait(lock, [&] { return !slot_ || receiver_closed_; });
        if (slot_) {  // the receiver ended without taking it
            slot_.reset();
            return false;
        }
        return true;
    }

    // The next value, or nothing once the sender has closed and none is pending.
    std::optional<T> receive() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot_.has_value() || sender_closed_; });
        if (!slot_) return std::nullopt;
        std::optional<T> value = std::move(slot_);
        slot_.reset();
        changed_.notify_all();
        return value;
    }

    void close_sender() {
        std::lock_guard lock(mutex_);
        sender_closed_ = true;
        changed_.notify_all();
    }

    void close_receiver() {
        std::lock_guard lock(mutex_);
        receiver_closed_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> slot_;
    bool sender_closed_ = false;
    bool receiver_closed_ = false;
};

}  // namespace brandor::parallel
