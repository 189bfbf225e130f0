// The lock of one index: searches share it, updates hold it alone, and an
// update that asks for it goes ahead of every search that asks after it.
//
// The bound: an update waits for the searches that hold the lock when it asks
// (each holds it for one search) and for the updates that asked before it,
// never for a search that asks later. Searches can wait behind a stream of
// updates, each of which is short. std::shared_mutex promises neither way and
// glibc's lets searches in as long as one holds it, so that two threads
// searching in turn kept an update out for seconds.
//
// Not recursive: a thread must not ask for it again while it holds it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace orvel::python {

class UpdateLock {
public:
    // Shared, unless an update holds the lock or waits for it.
    bool try_lock_shared() {
        std::lock_guard guard(mutex_);
        if (updating_ || updates_waiting_ > 0) return false;
        ++searches_;
        return true;
    }
    void lock_shared() {
        std::unique_lock guard(mutex_);
        ++searches_waiting_;
        searches_may_enter_.wait(guard, [&] { return !updating_ && updates_waiting_ == 0; });
        --searches_waiting_;
        ++searches_;
    }
    void unlock_shared() {
        std::lock_guard guard(mutex_);
        if (--searches_ == 0 && updates_waiting_ > 0) update_may_enter_.notify_one();
    }

    bool try_lock() {
        std::lock_guard guard(mutex_);
        if (updating_ || searches_ > 0 || updates_waiting_ > 0) return false;
        updating_ = true;
        return true;
    }
    void lock() {
        std::unique_lock guard(mutex_);
        ++updates_waiting_;
        update_may_enter_.wait(guard, [&] { return !updating_ && searches_ == 0; });
        --updates_waiting_;
        updating_ = true;
    }
    void unlock() {
        std::lock_guard guard(mutex_);
        updating_ = false;
        if (updates_waiting_ > 0) {
            update_may_enter_.notify_one();
        } else {
            searches_may_enter_.notify_all();
        }
    }

    // What waits and what holds the lock, for tests that follow who gets in.
    struct Counts {
        std::size_t searches, searches_waiting, updates_waiting;
        bool updating;
    };
    Counts counts() {
        std::lock_guard guard(mutex_);
        return {searches_, searches_waiting_, updates_waiting_, updating_};
    }

private:
    std::mutex mutex_;
    std::condition_variable searches_may_enter_, update_may_enter_;
    std::size_t searches_ = 0;  // holding the lock
    std::size_t searches_waiting_ = 0;
    std::size_t updates_waiting_ = 0;
    bool updating_ = false;
};

}  // namespace orvel::python
