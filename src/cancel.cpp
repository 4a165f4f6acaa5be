#include "cancel.hpp"

#include <atomic>
#include <chrono>

namespace velarix::cancel {
namespace {

// Ctrl-C answered within a few of these, far below what a person notices,
// while the hook (which may take a lock) runs some hundred times a second.
constexpr std::chrono::milliseconds kInterval{5};

std::atomic<Hook> installed{nullptr};
thread_local bool stopped = false;
thread_local std::chrono::steady_clock::time_point last_asked{};

}  // namespace

void install(Hook hook) { installed.store(hook, std::memory_order_release); }

bool requested() {
  if (stopped) return true;
  const Hook hook = installed.load(std::memory_order_acquire);
  if (hook == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_asked < kInterval) return false;
  last_asked = now;
  stopped = hook();
  return stopped;
}

bool take() {
  const bool was = stopped;
  stopped = false;
  return was;
}

}  // namespace velarix::cancel
