#include "models/parallel.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
int openblas_get_num_threads(void);
void openblas_set_num_threads(int);
}

namespace morvak::models {

unsigned team_size(std::size_t limit) {
  const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(hw, limit)));
}

bool run_team(unsigned threads,
              const std::function<void(unsigned, const std::atomic<bool> &)> &body,
              const std::function<bool()> &poll) {
  std::atomic<bool> stop{false};
  bool stopped_by_poll = false;
  std::mutex mutex;
  std::condition_variable done;
  unsigned finished = 0;
  std::exception_ptr failure;

  std::vector<std::thread> team;
  team.reserve(threads);
  for (unsigned id = 0; id < threads; ++id) {
    team.emplace_back([&, id] {
      try {
        body(id, stop);
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!failure)
          failure = std::current_exception();
        stop = true;
      }
      std::lock_guard lock(mutex);
      ++finished;
      done.notify_one();
    });
  }
  {
    std::unique_lock lock(mutex);
    while (finished < threads) {
      if (done.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished == threads; }))
        break;
      lock.unlock();
      const bool cancel = !stop && poll && poll();
      lock.lock();
      if (cancel) {
        stopped_by_poll = true;
        stop = true;
      }
    }
  }
  for (auto &t : team)
    t.join();
  if (failure)
    std::rethrow_exception(failure);
  return stopped_by_poll;
}

SerialBlas::SerialBlas() : saved_(openblas_get_num_threads()) { openblas_set_num_threads(1); }

SerialBlas::~SerialBlas() { openblas_set_num_threads(saved_); }

} // namespace morvak::models
