#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace morvak::crystal {

// A second thread for one call: runs one job at a time while the caller works
// on its own share, and is joined when the object ends, so no thread outlives
// the call (which keeps the library safe to use around fork()). The thread
// blocks every signal, so that signals reach the caller's threads.
class HelperThread {
public:
  // Number of CPUs this process may run on.
  static unsigned usable_cpus();

  // Throws std::system_error when no thread can be started.
  HelperThread();
  ~HelperThread();
  HelperThread(const HelperThread &) = delete;
  HelperThread &operator=(const HelperThread &) = delete;

  // Starts `job` on the helper; the previous job must have been waited for.
  void start(std::function<void()> job);
  // Waits for the job started last; rethrows what it threw.
  void wait();

private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool busy_ = false;
  bool quit_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

} // namespace morvak::crystal
