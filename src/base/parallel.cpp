#include "base/parallel.hpp"

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace bmpfun::detail {

namespace {

// Processors this process may run on (its affinity mask, which a container or taskset may
// narrow), else the ones the system reports, else 1.
int32_t processorCount() {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
  return 1;  // a WebAssembly build without threads
#else
#if defined(__linux__) && !defined(__EMSCRIPTEN__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
#endif
  const unsigned reported = std::thread::hardware_concurrency();
  return reported > 0 ? static_cast<int32_t>(std::min<unsigned>(reported, kMaxThreads)) : 1;
#endif
}

// Chunks per worker: enough that a worker which drew cheap rows (the white outside of a
// warp, say) picks up more, few enough that handing them out costs nothing.
constexpr int64_t kChunksPerWorker = 8;

std::atomic<bool> splitEveryJob{false};

}  // namespace

void splitEveryJobForTesting(bool on) { splitEveryJob.store(on, std::memory_order_relaxed); }

size_t blockRows(size_t rowBytes, size_t bytes) {
  if (splitEveryJob.load(std::memory_order_relaxed)) return 3;
  return std::max<size_t>(1, bytes / std::max<size_t>(1, rowBytes));
}

int32_t threadBudget(const Limits& limits) {
  if (limits.threads == 0) return std::min(processorCount(), kMaxThreads);
  if (limits.threads < 1) return 1;
  return std::min(limits.threads, kMaxThreads);
}

int32_t workersFor(const Limits& limits, int64_t count, double costPerItem) {
  if (count <= 1 || limits.threads == 1) return 1;
  const int32_t budget = threadBudget(limits);
  if (budget <= 1) return 1;
  if (splitEveryJob.load(std::memory_order_relaxed)) costPerItem = kCostPerThread;
  const double total = static_cast<double>(count) * costPerItem;
  // One thread per kCostPerThread of work, never more threads than items.
  const double byCost = std::floor(total / kCostPerThread);
  const double cap = static_cast<double>(std::min<int64_t>(budget, count));
  return static_cast<int32_t>(std::clamp(byCost, 1.0, cap));
}

void runChunks(int32_t workers, int64_t count, ChunkBody body) {
  const int64_t chunkCount = std::min<int64_t>(count, int64_t{workers} * kChunksPerWorker);
  const int64_t chunkSize = (count + chunkCount - 1) / chunkCount;
  std::atomic<int64_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex errorLock;
  std::exception_ptr error;

  auto work = [&](int32_t worker) noexcept {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const int64_t first = next.fetch_add(chunkSize, std::memory_order_relaxed);
        if (first >= count) break;
        body.fn(body.context, worker, first, std::min(count, first + chunkSize));
      }
    } catch (...) {
      const std::lock_guard<std::mutex> hold(errorLock);
      if (!error) error = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };

  {
    JoinedThreads helpers;
    try {
      helpers.threads.reserve(static_cast<size_t>(workers - 1));
      for (int32_t k = 1; k < workers; ++k) helpers.threads.emplace_back(work, k);
    } catch (...) {
      // Out of memory or threads: the helpers that did start and this thread share the work.
    }
    work(0);
  }  // every helper is joined here, before anything is read or rethrown

  if (error) std::rethrow_exception(error);
}

void runInOrder(int32_t workers, int64_t count, void* context, void (*fn)(void*, int64_t)) {
  if (count <= 0) return;
  std::atomic<int64_t> next{0};
  auto take = [&](int32_t, int64_t, int64_t) {
    for (int64_t item = next.fetch_add(1, std::memory_order_relaxed); item < count;
         item = next.fetch_add(1, std::memory_order_relaxed)) {
      fn(context, item);
    }
  };
  // One chunk per worker; each takes items until none is left.
  forEachChunkOn(std::max(1, workers), std::max(1, workers), take);
}

void WavefrontProgress::waitFor(int64_t item, int64_t done) const {
  if (item < 0) return;
  const std::atomic<int64_t>& value = slots_[item % kSlots].value;
  const int64_t wanted = item * span_ + done;
  for (int32_t spins = 0; value.load(std::memory_order_acquire) < wanted;
       spins = std::min(spins + 1, 110)) {
    if (spins < 100) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else if (spins < 110) {
      // The item waited for may be on a thread that is not running: give it the processor.
      std::this_thread::yield();
    } else {
      // Still not there: the machine is busy, and yielding would only burn the time the
      // item waited for needs. Sleep in short steps instead.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }
}

}  // namespace bmpfun::detail

namespace bmpfun {

int32_t threadCount(const Limits& limits) { return detail::threadBudget(limits); }

}  // namespace bmpfun
