// Work that OS threads outside the machine hand to it in an order that matters: a card's removal before the next
// card's insertion, a transfer before its cancellation.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "scheduler.h"

namespace sim {

// Scheduler::post alone does not keep the order: threads posted together become runnable together, and the seed
// picks which runs first. Here each item posts a thread, and whichever of them runs first runs every item queued so
// far, oldest first (a later one that finds the queue being run leaves it to that thread, which may wait in between).
class OrderedPoster {
   public:
    explicit OrderedPoster(Scheduler& machine) : machine_(machine), shared_(std::make_shared<Shared>()) {}
    ~OrderedPoster() { close(); }
    OrderedPoster(const OrderedPoster&) = delete;
    OrderedPoster& operator=(const OrderedPoster&) = delete;

    // Thread-safe.
    void post(std::string name, std::function<void()> body) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (!shared_->open) return;
            shared_->queue.push_back(std::move(body));
        }
        machine_.post(std::move(name), [shared = shared_] { run_queue(*shared); });
    }

    // Thread-safe: drops what is queued and what comes later. Threads already posted find nothing to run.
    void close() {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->open = false;
        shared_->queue.clear();
    }

   private:
    struct Shared {
        std::mutex mutex;
        std::deque<std::function<void()>> queue;
        bool running = false;
        bool open = true;
    };

    static void run_queue(Shared& shared) {
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (shared.running) return;
            shared.running = true;
        }
        for (;;) {
            std::function<void()> next;
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                if (shared.queue.empty()) {
                    shared.running = false;
                    return;
                }
                next = std::move(shared.queue.front());
                shared.queue.pop_front();
            }
            next();
        }
    }

    Scheduler& machine_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace sim
