#pragma once

// The server's workers: a fixed number of threads and a bounded queue of accepted connections.
// When the queue is full the accepting thread waits, so further clients wait in the kernel's
// listen backlog instead of holding descriptors and memory here: the connections the viewer
// holds at once are bounded by workers + queue.

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(size_t workers, size_t max_waiting) : max_waiting_(max_waiting) {
    for (size_t i = 0; i < workers; i++) threads_.emplace_back([this] { work(); });
  }
  ~BoundedTaskQueue() override { shutdown(); }
  BoundedTaskQueue(const BoundedTaskQueue &) = delete;
  BoundedTaskQueue &operator=(const BoundedTaskQueue &) = delete;

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lk(lock_);
    // Once shutting down the job is still taken: it owns the connection and closes it.
    room_.wait(lk, [&] { return jobs_.size() < max_waiting_ || shutdown_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }

  // Runs the jobs already queued, then joins the workers.
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      shutdown_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    for (std::thread &t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  void work() {
    while (true) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lk(lock_);
        work_.wait(lk, [&] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      room_.notify_one();
      job();
    }
  }

  const size_t max_waiting_;
  std::mutex lock_;
  std::condition_variable work_, room_;
  std::deque<std::function<void()>> jobs_;
  bool shutdown_ = false;
  std::vector<std::thread> threads_;
};
