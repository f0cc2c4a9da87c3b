// Helpers shared by the tests of common/ and structures/. They run
// without an interpreter: nothing here (or in what it includes) may need
// Python, so that these tests build and link against the structures alone.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace calderwick::testing {

// Runs `body(i)` on `n` threads and fails the test if they do not all finish
// within `timeout` (a deadlock fails instead of hanging). A failure thrown by
// a thread is rethrown here once all have finished.
inline void run_threads(int n, const std::function<void(int)>& body,
                        std::chrono::seconds timeout = std::chrono::seconds(60)) {
  std::vector<std::future<void>> done;
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    std::promise<void> p;
    done.push_back(p.get_future());
    threads.emplace_back([&body, i, p = std::move(p)]() mutable {
      try {
        body(i);
        p.set_value();
      } catch (...) {
        p.set_exception(std::current_exception());
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (auto& f : done) {
    if (f.wait_until(deadline) != std::future_status::ready) {
      ADD_FAILURE() << "threads did not finish in time (deadlock?)";
      std::abort();  // the threads cannot be joined; stop the run loudly
    }
  }
  for (auto& t : threads) t.join();
  for (auto& f : done) f.get();  // rethrows a thread's failure
}

}  // namespace calderwick::testing
