#pragma once

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

// Keeps every core busy while it lives, as other programs on a loaded machine do.
class BusyCores {
public:
    BusyCores() {
        for (unsigned i = 0; i <= std::max(2u, std::thread::hardware_concurrency()); ++i)
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~BusyCores() {
        stop_.store(true);
        for (auto& thread : threads_)
            thread.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};
