// Parallel rows: an operation whose output items (rows, pixels) do not depend on the order
// they are computed in hands the item range to forEachChunk, which cuts it into chunks and
// runs them on the caller's thread and up to Limits::threads - 1 helper threads.
//
// The helpers are started for the call and joined before it returns: no thread outlives the
// operation, no pool is kept, nothing runs when the library is loaded or unloaded. Chunks
// are handed out first come, first served, so a worker that drew cheap rows takes more of
// them; that is only safe because every item is written by exactly one chunk and reads
// nothing another chunk writes, which each caller states where it calls.
#pragma once
#include <bmpfun/limits.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <type_traits>
#include <vector>

namespace bmpfun::detail {

// The most threads one operation starts, whatever the limits ask for.
inline constexpr int32_t kMaxThreads = 256;

// Threads joined when they go out of scope, also when an exception passes (std::jthread is
// not in every standard library the project builds with).
struct JoinedThreads {
  std::vector<std::thread> threads;
  JoinedThreads() = default;
  JoinedThreads(const JoinedThreads&) = delete;
  JoinedThreads& operator=(const JoinedThreads&) = delete;
  ~JoinedThreads() {
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
  }
};

// The threads an operation may use: threads 1 (or below 0) is the caller's thread alone,
// 0 one per processor this process may run on, n the smaller of n and kMaxThreads.
int32_t threadBudget(const Limits& limits);

// Callers give the rough cost of one item in nanoseconds of one core of the reference
// machine (the 2-core build machine of docs/performance.md), so that a small job stays on
// the caller's thread: one thread is used per kCostPerThread nanoseconds of estimated work.
// Starting and joining a helper costs 10 to 20 us there; measured on the operations, two
// threads start to win at 100 to 150 us of one-thread work.
inline constexpr double kCostPerThread = 100'000.0;

// The number of threads forEachChunk will use for count items of the given cost.
int32_t workersFor(const Limits& limits, int64_t count, double costPerItem);

// Test hook: with it on, every job of two or more items is worth all the threads the limits
// allow, however cheap, so that the thread-count identity tests split even small images.
// Off unless a test turns it on; it changes how work is split, never a result.
void splitEveryJobForTesting(bool on);

// Rows per block for the codec's reads and writes at file offsets: as many whole rows as fit
// in `bytes` (a block stays in cache between its copy and its unpacking or packing), at least
// one; with the test hook on, 3, so that the small images of the tests make several blocks.
size_t blockRows(size_t rowBytes, size_t bytes);

// The type-erased body of runChunks: fn(context, worker, first, end) for the items
// [first, end), on worker number `worker`.
struct ChunkBody {
  void* context;
  void (*fn)(void* context, int32_t worker, int64_t first, int64_t end);
};

// Runs body over [0, count) in chunks on `workers` threads (the caller's one of them, worker
// 0; the helpers 1 .. workers - 1); every item belongs to exactly one chunk. An exception
// thrown by the body (std::bad_alloc, say) stops the handing out of further chunks, is
// carried to the caller's thread and rethrown there once every helper has been joined. A
// helper that cannot be started leaves its share to the others.
void runChunks(int32_t workers, int64_t count, ChunkBody body);

// body(worker, first, end) for consecutive chunks covering [0, count) on `workers` threads
// (a number from workersFor), worker being 0 .. workers - 1: for callers that keep state per
// thread (a scratch row, a cache), made before the call.
template <typename Body>
void forEachChunkOn(int32_t workers, int64_t count, Body&& body) {
  if (count <= 0) return;
  if (workers <= 1) {
    body(int32_t{0}, int64_t{0}, count);
    return;
  }
  using B = std::remove_reference_t<Body>;
  runChunks(workers, count,
            ChunkBody{const_cast<void*>(static_cast<const void*>(&body)),
                      [](void* context, int32_t worker, int64_t first, int64_t end) {
                        (*static_cast<B*>(context))(worker, first, end);
                      }});
}

// Wavefronts: operations whose items depend on the items before them (a row on the row
// above, a strip of columns on the strip to its left) run each item once its predecessor has
// got far enough. The items are taken in increasing order, one at a time, so the item an
// item waits for has always been taken by a thread that is running it: nothing deadlocks,
// whatever number of helpers did start.

// body(item) for every item of [0, count) on `workers` threads, the items taken in order.
// The body must not throw (a waiting item would wait for ever).
void runInOrder(int32_t workers, int64_t count, void* context, void (*fn)(void*, int64_t));

template <typename Body>
void forEachInOrder(int32_t workers, int64_t count, Body&& body) {
  using B = std::remove_reference_t<Body>;
  runInOrder(workers, count, const_cast<void*>(static_cast<const void*>(&body)),
             [](void* context, int64_t item) { (*static_cast<B*>(context))(item); });
}

// How far each item of a forEachInOrder has got: a count 0 .. limit that only grows, the
// item publishing it (release) and its successor waiting for it (acquire; a short spin, then
// yielding the processor). The counts live in a ring of slots, each on its own cache line;
// a slot holds item * (limit + 1) + count, so its value only grows, and an item takes over
// its slot only once the item that had it is complete. A value that belongs to a later item
// therefore also says that the item waited for is complete.
class WavefrontProgress {
 public:
  explicit WavefrontProgress(int64_t limit) : span_(limit + 1) {}
  // Called by each item before it publishes: waits for the slot's previous item to finish.
  void begin(int64_t item) {
    if (item >= kSlots) waitFor(item - kSlots, span_ - 1);
  }
  void publish(int64_t item, int64_t done) {
    slots_[item % kSlots].value.store(item * span_ + done, std::memory_order_release);
  }
  // Returns once item has published at least done (at once for an item below 0).
  void waitFor(int64_t item, int64_t done) const;

 private:
  static constexpr int64_t kSlots = 16;
  struct alignas(64) Slot {
    std::atomic<int64_t> value{-1};
  };
  int64_t span_;
  Slot slots_[kSlots];
};

// body(first, end) for consecutive chunks covering [0, count), on as many threads as the
// limits allow and the work is worth.
template <typename Body>
void forEachChunk(const Limits& limits, int64_t count, double costPerItem, Body&& body) {
  forEachChunkOn(workersFor(limits, count, costPerItem), count,
                 [&body](int32_t, int64_t first, int64_t end) { body(first, end); });
}

}  // namespace bmpfun::detail
