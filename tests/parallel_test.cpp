// Every operation that splits its rows over threads gives the same bytes with 1, 2, 3 and 8
// threads, on sizes that split unevenly (one column, one row, primes). The thread facility's
// test hook is on for the whole executable: it splits every job of two or more items however
// cheap, so that the small images here do run on several threads; scripts/test.sh also runs
// it under ThreadSanitizer.
#include "base/parallel.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bmpfun::test {
namespace {

Limits withThreads(int32_t threads) {
  Limits limits;
  limits.threads = threads;
  return limits;
}

SaveOptions savingOn(int32_t threads) {
  SaveOptions options;
  options.threads = threads;
  return options;
}

class SplitEveryJob : public ::testing::Environment {
 public:
  void SetUp() override { detail::splitEveryJobForTesting(true); }
};
const auto* const kSplitEveryJob = ::testing::AddGlobalTestEnvironment(new SplitEveryJob);

// ---------------------------------------------------------------- the facility itself

TEST(ParallelRows, TheTestHookSplitsEveryJob) {
  EXPECT_EQ(detail::workersFor(withThreads(3), 2, 0.0), 2);
  EXPECT_EQ(detail::workersFor(withThreads(8), 1000, 0.0), 8);
  EXPECT_EQ(detail::workersFor(withThreads(1), 1000, 1e9), 1);
}

TEST(ParallelRows, VisitsEveryItemOnceOnSeveralThreads) {
  for (const int32_t threads : {2, 3, 8}) {
    for (const int64_t count : {2, 3, 17, 1000}) {
      std::vector<std::atomic<int>> visits(static_cast<size_t>(count));
      std::mutex lock;
      std::set<std::thread::id> seen;
      auto threadsSeen = [&] {
        const std::lock_guard<std::mutex> hold(lock);
        return seen.size();
      };
      detail::forEachChunk(withThreads(threads), count, 0.0, [&](int64_t first, int64_t end) {
        ASSERT_LT(first, end);
        for (int64_t k = first; k < end; ++k) visits[static_cast<size_t>(k)].fetch_add(1);
        {
          const std::lock_guard<std::mutex> hold(lock);
          seen.insert(std::this_thread::get_id());
        }
        // Hold the chunk until a second thread has taken one too (or give up after a while),
        // so that the caller cannot take every chunk before a helper has started.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (threadsSeen() < 2 && std::chrono::steady_clock::now() < giveUp) {
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
      });
      for (const auto& v : visits) ASSERT_EQ(v.load(), 1);
      EXPECT_GT(seen.size(), 1u) << threads << " threads, " << count << " items";
    }
  }
}

TEST(ParallelRows, CarriesAWorkersExceptionToTheCaller) {
  std::atomic<int> chunks{0};
  EXPECT_THROW(detail::forEachChunk(withThreads(4), 400, 0.0,
                                    [&](int64_t first, int64_t end) {
                                      chunks.fetch_add(1);
                                      if (first <= 137 && 137 < end) throw std::bad_alloc();
                                    }),
               std::bad_alloc);
  // Every helper was joined before the throw reached here; the count no longer moves.
  const int after = chunks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(chunks.load(), after);
}

// A wavefront through the facility alone: item i adds itself to each plain (not atomic) cell
// once item i - 1 has, so every cell must see the items in order; more items than the
// progress ring has slots, and more threads too (so that slots are taken over while in use).
TEST(ParallelRows, WavefrontItemsSeeTheWorkOfTheItemsBefore) {
  constexpr int64_t kItems = 100, kCells = 50;
  for (const int32_t threads : {1, 2, 3, 8, 40}) {
    std::vector<int64_t> cells(kCells, 0);
    std::atomic<int> outOfOrder{0};
    detail::WavefrontProgress done(kCells);
    detail::forEachInOrder(threads, kItems, [&](int64_t item) {
      done.begin(item);
      for (size_t k = 0; k < cells.size(); ++k) {
        done.waitFor(item - 1, static_cast<int64_t>(k) + 1);
        if (cells[k] != item * (item - 1) / 2) outOfOrder.fetch_add(1);
        cells[k] += item;
        done.publish(item, static_cast<int64_t>(k) + 1);
        std::this_thread::yield();  // interleave the items more
      }
    });
    EXPECT_EQ(outOfOrder.load(), 0) << threads << " threads";
    EXPECT_EQ(cells, std::vector<int64_t>(kCells, kItems * (kItems - 1) / 2)) << threads;
  }
}

TEST(ParallelRows, ThreadCountsComeFromTheLimits) {
  EXPECT_EQ(detail::threadBudget(withThreads(1)), 1);
  EXPECT_EQ(detail::threadBudget(withThreads(-5)), 1);
  EXPECT_EQ(detail::threadBudget(withThreads(7)), 7);
  EXPECT_EQ(detail::threadBudget(withThreads(100000)), detail::kMaxThreads);
  EXPECT_GE(detail::threadBudget(withThreads(0)), 1);
  // Images pass their limits on to the images their operations make.
  auto source = Image::create(9, 4, withThreads(3));
  EXPECT_EQ(source->limits().threads, 3);
  EXPECT_EQ(source->fun(1)->limits().threads, 3);
  EXPECT_EQ(source->scale(0.5, 2.0)->limits().threads, 3);
  EXPECT_EQ(Image::copyOf(*source)->limits().threads, 3);
}

// ---------------------------------------------------------------- identity across threads

// An operation under test: runs on the image (which carries the thread count) and returns
// the image to compare, or null when it made none.
using Operation = std::function<std::unique_ptr<Image>(std::unique_ptr<Image>)>;

Operation inPlace(std::function<void(Image&)> op) {
  return [op](std::unique_ptr<Image> image) {
    op(*image);
    return image;
  };
}

Operation making(std::function<std::unique_ptr<Image>(const Image&)> op) {
  return [op](std::unique_ptr<Image> image) { return op(*image); };
}

Operation sampled(int32_t method, std::function<std::unique_ptr<Image>(const Image&)> op) {
  return [method, op](std::unique_ptr<Image> image) {
    image->sampling(method);
    return op(*image);
  };
}

struct Case {
  std::string name;
  Operation op;
};

std::vector<Case> operations() {
  std::vector<Case> cases;
  for (int32_t method : {0, 1, 2, 3}) {
    const std::string m = " method " + std::to_string(method);
    for (int32_t effect : {0, 1, 2}) {
      cases.push_back({"fun " + std::to_string(effect) + m,
                       sampled(method, [effect](const Image& im) { return im.fun(effect); })});
    }
    cases.push_back({"scale 0.6, 1.7" + m,
                     sampled(method, [](const Image& im) { return im.scale(0.6, 1.7); })});
    cases.push_back({"scale 2.3, 0.45" + m,
                     sampled(method, [](const Image& im) { return im.scale(2.3, 0.45); })});
    for (double degrees : {30.0, 90.0, -117.5}) {
      cases.push_back({"rotate " + std::to_string(degrees) + m,
                       sampled(method, [degrees](const Image& im) { return im.rotate(degrees); })});
    }
  }
  for (int32_t band : {1, 3, 7}) {
    cases.push_back({"mosaic " + std::to_string(band),
                     making([band](const Image& im) { return im.mosaic(band); })});
  }
  cases.push_back({"autoCrop", making([](const Image& im) { return im.autoCrop(); })});
  cases.push_back({"edgeDetect", inPlace([](Image& im) { EXPECT_TRUE(im.edgeDetect()); })});
  cases.push_back({"brightness", inPlace([](Image& im) { im.brightness(1.3); })});
  cases.push_back({"contrast", inPlace([](Image& im) { im.contrast(1.7); })});
  cases.push_back({"saturation", inPlace([](Image& im) { im.saturation(1.4); })});
  for (int32_t channel : {0, 1, 2, 3}) {
    cases.push_back({"extractChannel " + std::to_string(channel),
                     inPlace([channel](Image& im) { im.extractChannel(channel); })});
  }
  cases.push_back({"quantize", inPlace([](Image& im) { im.quantize(3); })});
  for (int32_t bits : {1, 3}) {
    cases.push_back({"orderedDither " + std::to_string(bits),
                     inPlace([bits](Image& im) { im.orderedDither(bits); })});
  }
  return cases;
}

// Sizes that split unevenly; the pictures have white (alpha 255) margins for the trims.
const std::vector<std::pair<int32_t, int32_t>> kSizes = {
    {1, 53}, {53, 1}, {2, 3}, {13, 7}, {31, 37}, {67, 41}};

std::unique_ptr<Image> picture(int32_t width, int32_t height, int32_t threads) {
  auto source = makeTestImage(width, height, static_cast<uint32_t>(width * 131 + height));
  auto image = Image::create(width, height, withThreads(threads));
  std::copy(source->pixels().begin(), source->pixels().end(), image->pixels().begin());
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if ((x < width / 5 || y > height - height / 6) && (x + y) % 3 != 0) {
        image->pixel(x, y) = Pixel{255, 255, 255, 255};
      }
    }
  }
  return image;
}

void expectSameBytesOnAnyThreadCount(const std::vector<Case>& cases,
                                     const std::vector<std::pair<int32_t, int32_t>>& sizes) {
  for (const Case& c : cases) {
    for (const auto& [width, height] : sizes) {
      SCOPED_TRACE(c.name + " on " + std::to_string(width) + " x " + std::to_string(height));
      const auto want = c.op(picture(width, height, 1));
      for (const int32_t threads : {2, 3, 8}) {
        const auto got = c.op(picture(width, height, threads));
        ASSERT_EQ(got != nullptr, want != nullptr) << threads << " threads";
        if (!want) continue;
        ASSERT_EQ(got->width(), want->width()) << threads << " threads";
        ASSERT_EQ(got->height(), want->height()) << threads << " threads";
        ASSERT_TRUE(std::equal(got->pixels().begin(), got->pixels().end(), want->pixels().begin()))
            << threads << " threads";
      }
    }
  }
}

TEST(ParallelRows, EveryOperationGivesTheSameBytesOnAnyThreadCount) {
  expectSameBytesOnAnyThreadCount(operations(), kSizes);
}

// The wavefronts (blur and sharpen by strips of columns, Floyd-Steinberg by rows) keep the
// one-thread order of every pixel's reads and writes: every mask size, including those that
// change nothing, and every depth, down to shapes of a single strip or row.
TEST(ParallelRows, WavefrontsGiveTheSameBytesOnAnyThreadCount) {
  std::vector<Case> cases;
  for (const int32_t size : {1, 2, 3, 4, 5, 9}) {
    cases.push_back(
        {"blur " + std::to_string(size), inPlace([size](Image& im) { im.blur(size); })});
    cases.push_back(
        {"sharpen " + std::to_string(size), inPlace([size](Image& im) { im.sharpen(size); })});
  }
  for (int32_t bits = 1; bits <= 8; ++bits) {
    cases.push_back({"FloydSteinbergDither " + std::to_string(bits),
                     inPlace([bits](Image& im) { im.FloydSteinbergDither(bits); })});
  }
  expectSameBytesOnAnyThreadCount(cases, {{1, 53}, {53, 1}, {2, 2}, {5, 5}, {67, 43}, {173, 139}});
}

TEST(ParallelRows, BitmapRescaleGivesTheSameBytesOnAnyThreadCount) {
  struct Rescale {
    char mode;
    int32_t value;
  };
  const Rescale modes[] = {{'P', 170}, {'P', 35}, {'W', 1}, {'H', 1}, {'W', 29}, {'F', 61}};
  for (const auto& [width, height] : kSizes) {
    const auto source = picture(width, height, 1);
    Bitmap original;
    ASSERT_TRUE(original.resize(width, height));
    for (size_t k = 0; k < source->pixels().size(); ++k) {
      const Pixel p = source->pixels()[k];
      original.data()[k] = BitmapPixel{p.b, p.g, p.r, p.a};
    }
    for (const Rescale& r : modes) {
      SCOPED_TRACE(std::string(1, r.mode) + " " + std::to_string(r.value) + " on " +
                   std::to_string(width) + " x " + std::to_string(height));
      Bitmap want(original);
      ASSERT_TRUE(rescale(want, r.mode, r.value, withThreads(1)));
      for (const int32_t threads : {2, 3, 8}) {
        Bitmap got(original);
        ASSERT_TRUE(rescale(got, r.mode, r.value, withThreads(threads)));
        ASSERT_EQ(got.width(), want.width());
        ASSERT_EQ(got.height(), want.height());
        const size_t count = static_cast<size_t>(want.width()) * static_cast<size_t>(want.height());
        ASSERT_TRUE(std::equal(got.data(), got.data() + count, want.data())) << threads << " threads";
      }
    }
  }
}

// The writer maps the pixels of 1-, 4- and 8-bit files to their entries on several threads,
// each with its own search: every depth gives the same file, and reads back to the same
// pixels, through a Bitmap and through an Image, on any thread count.
TEST(ParallelRows, CodecGivesTheSameBytesOnAnyThreadCount) {
  for (const auto& [width, height] : kSizes) {
    const auto source = picture(width, height, 1);
    for (const int32_t bits : {1, 4, 8, 16, 24, 32}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(width) + " x " +
                   std::to_string(height));
      Bitmap bitmap;
      ASSERT_TRUE(bitmap.resize(width, height));
      ASSERT_TRUE(bitmap.changeBitsPerPixel(bits));
      for (size_t k = 0; k < source->pixels().size(); ++k) {
        const Pixel p = source->pixels()[k];
        bitmap.data()[k] = BitmapPixel{p.b, p.g, p.r, p.a};
      }
      std::vector<uint8_t> want;
      ASSERT_TRUE(bitmap.saveMemory(want, savingOn(1)));
      Bitmap wantRead;
      ASSERT_TRUE(wantRead.loadMemory(want, withThreads(1)));
      const auto wantImage = Image::loadMemory(want, withThreads(1));
      ASSERT_TRUE(wantImage);
      std::vector<uint8_t> wantSaved;
      ASSERT_TRUE(wantImage->saveMemory(wantSaved));
      for (const int32_t threads : {2, 3, 8}) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(bitmap.saveMemory(got, savingOn(threads)));
        EXPECT_EQ(got, want) << threads << " threads, saveMemory";
        Bitmap read;
        ASSERT_TRUE(read.loadMemory(want, withThreads(threads)));
        const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
        EXPECT_TRUE(std::equal(read.data(), read.data() + count, wantRead.data()))
            << threads << " threads, loadMemory";
        const auto image = Image::loadMemory(want, withThreads(threads));
        ASSERT_TRUE(image);
        EXPECT_TRUE(std::equal(image->pixels().begin(), image->pixels().end(),
                               wantImage->pixels().begin()))
            << threads << " threads, Image::loadMemory";
        std::vector<uint8_t> saved;
        ASSERT_TRUE(image->saveMemory(saved));
        EXPECT_EQ(saved, wantSaved) << threads << " threads, Image::saveMemory";
      }
    }
  }
}

}  // namespace
}  // namespace bmpfun::test
