// Every operation that splits its rows over threads gives the same bytes with 1, 2, 3 and 8
// threads, on sizes that split unevenly (one column, one row, primes). The thread facility's
// test hook is on for the whole executable: it splits every job of two or more items however
// cheap, so that the small images here do run on several threads; scripts/test.sh also runs
// it under ThreadSanitizer.
#include "base/parallel.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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
  expectSameBytesOnAnyThreadCount(cases, {{1, 53}, {53, 1}, {2, 2}, {5, 5}, {9, 40}, {67, 43}, {173, 139}});
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
      TempDir dir;
      const std::string path = dir.file("out.bmp");
      for (const int32_t threads : {2, 3, 8}) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(bitmap.saveMemory(got, savingOn(threads)));
        EXPECT_EQ(got, want) << threads << " threads, saveMemory";
        // Files take their rows at their offsets, written on several threads.
        for (const bool alphaMasks : {false, true}) {
          SaveOptions options = savingOn(threads);
          options.alphaMasks = alphaMasks;
          std::vector<uint8_t> wanted = want;
          if (alphaMasks) ASSERT_TRUE(bitmap.saveMemory(wanted, SaveOptions{.alphaMasks = true}));
          ASSERT_TRUE(bitmap.saveFile(path, options));
          EXPECT_EQ(readBytes(path), wanted) << threads << " threads, saveFile, alpha masks " << alphaMasks;
        }
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
        ASSERT_TRUE(image->save(path));
        EXPECT_EQ(readBytes(path), wantSaved) << threads << " threads, Image::save";
      }
    }
  }
}

// A file's rows are read at their offsets in blocks (3 rows here) on several threads: files of
// every uncompressed kind, whole and cut short (inside a pixel, at a row's end, in the last
// row), read by both readers into a Bitmap and into an Image, give the same answer, status and
// pixels on any thread count.
struct FileKind {
  const char* name;
  uint16_t bits;
  uint32_t compression;
  std::vector<uint32_t> masks;
  bool topDown = false;
  bool zeroAlpha = false;  // every fourth byte 0: an alpha mask that finds no alpha
};

std::vector<uint8_t> fileOf(const FileKind& k, int32_t width, int32_t height) {
  uint32_t seed = static_cast<uint32_t>(width * 7 + height + k.bits);
  const auto next = [&seed] { return static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24); };
  BmpLayout layout{.width = width, .height = k.topDown ? -height : height, .bits = k.bits, .compression = k.compression};
  for (size_t i = 0; k.bits <= 8 && i < (size_t{4} << k.bits); ++i) layout.table.push_back(next());
  for (const uint32_t mask : k.masks) putU32(layout.table, mask);
  layout.pixelData.resize((size_t{k.bits} * static_cast<size_t>(width) + 31) / 32 * 4 * static_cast<size_t>(height));
  for (size_t i = 0; i < layout.pixelData.size(); ++i) layout.pixelData[i] = k.zeroAlpha && i % 4 == 3 ? 0 : next();
  return makeBmp(layout);
}

std::string loaded(const std::string& path, int32_t threads, bool extended, bool image) {
  Limits limits = withThreads(threads);
  limits.extended = extended;
  Status status;
  std::string pixels;
  if (image) {
    const auto read = Image::load(path, limits, &status);
    if (read) pixels.assign(reinterpret_cast<const char*>(read->pixels().data()), 4 * read->pixels().size());
  } else {
    Bitmap read;
    const bool ok = read.loadFile(path, limits, &status);
    pixels = std::to_string(ok);
    if (read.data() != nullptr) {
      pixels.append(reinterpret_cast<const char*>(read.data()),
                    4 * static_cast<size_t>(read.width()) * static_cast<size_t>(read.height()));
    }
  }
  return to_string(status) + " rows " + std::to_string(status.rowsRead) + "/" + std::to_string(status.rowsExpected) +
         " error " + std::to_string(status.systemError) + "\n" + pixels;
}

TEST(ParallelRows, FilesReadAtOffsetsGiveTheSamePixelsOnAnyThreadCount) {
  const std::vector<uint32_t> fields = {0xFF0000, 0xFF00, 0xFF}, alpha = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
  const FileKind kinds[] = {{"1 bit", 1, 0, {}},
                            {"4 bits", 4, 0, {}},
                            {"8 bits, top-down", 8, 0, {}, true},
                            {"16 bits", 16, 0, {}},
                            {"16 bits, 5-6-5 fields", 16, 3, {0xF800, 0x07E0, 0x001F}},
                            {"24 bits", 24, 0, {}},
                            {"24 bits, top-down", 24, 0, {}, true},
                            {"32 bits", 32, 0, {}},
                            {"32 bits, fields", 32, 3, fields},
                            {"32 bits, alpha mask", 32, 6, alpha},
                            {"32 bits, alpha mask, no alpha", 32, 6, alpha, false, true}};
  TempDir dir;
  const std::string path = dir.file("in.bmp");
  for (const FileKind& k : kinds) {
    for (const auto& [width, height] : {std::pair{1, 53}, std::pair{13, 7}, std::pair{67, 41}}) {
      const std::vector<uint8_t> file = fileOf(k, width, height);
      const size_t rowBytes = (size_t{k.bits} * static_cast<size_t>(width) + 31) / 32 * 4;
      const size_t dataAt = file.size() - rowBytes * static_cast<size_t>(height);
      const auto h = static_cast<size_t>(height);
      for (const size_t size : {file.size(), file.size() - 1, dataAt + rowBytes * (h / 3),
                                dataAt + rowBytes * (h / 2) + rowBytes / 2 + 1}) {
        writeBytes(path, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<ptrdiff_t>(size)));
        for (const bool extended : {false, true}) {
          for (const bool image : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + ", " + std::to_string(width) + " x " + std::to_string(height) + ", " +
                         std::to_string(size) + " of " + std::to_string(file.size()) + " bytes" +
                         (extended ? ", extended" : "") + (image ? ", Image" : ", Bitmap"));
            const std::string want = loaded(path, 1, extended, image);
            for (const int32_t threads : {2, 3, 8}) EXPECT_TRUE(loaded(path, threads, extended, image) == want) << threads;
          }
        }
      }
    }
  }
}

// A save that writes its rows at offsets on several threads and fails on the way leaves the
// old file whole and nothing beside it; short writes that progress still make the file.
TEST(ParallelRows, SavesWrittenAtOffsetsFailAsInOrder) {
  const auto image = picture(67, 41, 3);
  std::vector<uint8_t> want;
  ASSERT_TRUE(image->saveMemory(want));
  const struct {
    size_t budget, chunk;
    bool ok;
  } cases[] = {{100, 500, false}, {3000, 500, false}, {SIZE_MAX, 7, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.budget) + " bytes, " + std::to_string(c.chunk) + " a write");
    TempDir dir;
    const std::string out = dir.file("out.bmp");
    ASSERT_TRUE(picture(2, 3, 1)->save(out));
    const std::vector<uint8_t> old = readBytes(out);
    FaultyIo io;
    io.budget = c.budget;
    io.chunk = c.chunk;
    Status status;
    {
      const ScopedFileIo seam(io);
      EXPECT_EQ(image->save(out, SaveOptions{.sync = true}, &status), c.ok);
    }
    EXPECT_EQ(status.cause, c.ok ? Cause::ok : Cause::writeFailed);
    EXPECT_EQ(status.systemError, c.ok ? 0 : ENOSPC);
    EXPECT_EQ(readBytes(out), c.ok ? want : old);
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"out.bmp"});
  }
}

}  // namespace
}  // namespace bmpfun::test
