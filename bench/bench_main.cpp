// Micro-benchmarks for the codec, the resampler, the warps and every filter, on inputs the
// benchmark draws itself (bench_inputs.hpp).
//
//   bmpfun_bench [--sizes=1024,2048,4096] [Google Benchmark flags...]
//
// The side lengths come from --sizes, else from the environment variable BMPFUN_BENCH_SIZES,
// else all three. CI runs --sizes=1024 --benchmark_min_time=0.01 so the benchmarks keep
// compiling and running without costing minutes.
#include "bench_inputs.hpp"

#include <benchmark/benchmark.h>
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using bmpfun::Bitmap;
using bmpfun::Image;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- shared inputs

// One photo per size, made on first use (outside any timed region) and kept for the run.
const Image& photo(int32_t size) {
  static std::map<int32_t, std::unique_ptr<Image>> photos;
  auto& slot = photos[size];
  if (!slot) slot = bmpfun::bench::makePhoto(size);
  return *slot;
}

// Scratch folder for the codec's files; removed when the program ends.
const fs::path& scratch() {
  struct Folder {
    fs::path path;
    Folder() {
      std::string pattern = (fs::temp_directory_path() / "bmpfun-bench-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("bmpfun_bench: mkdtemp");
        std::exit(1);
      }
      path = pattern;
    }
    ~Folder() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  };
  static Folder folder;
  return folder.path;
}

std::string fileName(const char* what, int32_t bits, int32_t size) {
  return (scratch() / (std::string(what) + "-" + std::to_string(bits) + "-" +
                       std::to_string(size) + ".bmp"))
      .string();
}

void countPixels(benchmark::State& state, int32_t size) {
  state.SetItemsProcessed(state.iterations() * int64_t{size} * size);
}

// Copy the photo's pixels into a working image of the same size, with the clock stopped.
void restore(benchmark::State& state, Image& working, const Image& source) {
  state.PauseTiming();
  std::ranges::copy(source.pixels(), working.pixels().begin());
  state.ResumeTiming();
}

// ---------------------------------------------------------------- codec

void readFile(benchmark::State& state, int32_t size, int32_t bits) {
  const std::string path = fileName("read", bits, size);
  if (!bmpfun::bench::makeBitmap(photo(size), bits).saveFile(path)) {
    state.SkipWithError("could not write the input file");
    return;
  }
  for (auto _ : state) {
    Bitmap bitmap;
    if (!bitmap.loadFile(path)) {
      state.SkipWithError("could not read the input file");
      break;
    }
    benchmark::DoNotOptimize(bitmap.data());
  }
  countPixels(state, size);
  std::remove(path.c_str());
}

void writeFile(benchmark::State& state, int32_t size, int32_t bits) {
  const Bitmap bitmap = bmpfun::bench::makeBitmap(photo(size), bits);
  const std::string path = fileName("write", bits, size);
  for (auto _ : state) {
    if (!bitmap.saveFile(path)) {
      state.SkipWithError("could not write the file");
      break;
    }
  }
  countPixels(state, size);
  std::remove(path.c_str());
}

// The RGBA road the warps take: Image::load (read + swap into the pixel array), Image::save.
void imageLoad(benchmark::State& state, int32_t size) {
  const std::string path = fileName("load", 24, size);
  if (!bmpfun::bench::makeBitmap(photo(size), 24).saveFile(path)) {
    state.SkipWithError("could not write the input file");
    return;
  }
  for (auto _ : state) {
    auto image = Image::load(path);
    if (!image) {
      state.SkipWithError("could not load the input file");
      break;
    }
    benchmark::DoNotOptimize(image->pixels().data());
  }
  countPixels(state, size);
  std::remove(path.c_str());
}

void imageSave(benchmark::State& state, int32_t size) {
  auto image = Image::copyOf(photo(size));
  const std::string path = fileName("save", 24, size);
  for (auto _ : state) {
    if (!image->save(path)) {
      state.SkipWithError("could not save the image");
      break;
    }
  }
  countPixels(state, size);
  std::remove(path.c_str());
}

// ---------------------------------------------------------------- resampling and warps

// One sample per pixel at positions off the pixel grid (so bilinear and gaussian blend),
// slightly stretched so the last rows and columns fall outside and come back white.
void sampleGrid(benchmark::State& state, int32_t size, int32_t method) {
  auto image = Image::copyOf(photo(size));
  image->sampling(method);
  for (auto _ : state) {
    uint32_t checksum = 0;
    for (int32_t y = 0; y < size; ++y) {
      const double fy = y * 1.0011 + 0.27;
      for (int32_t x = 0; x < size; ++x) {
        const bmpfun::Pixel p = image->sample(x * 0.9973 + 0.31, fy);
        checksum += p.r ^ p.g ^ p.b;
      }
    }
    benchmark::DoNotOptimize(checksum);
  }
  countPixels(state, size);
}

using MakeImage = std::function<std::unique_ptr<Image>(const Image&)>;

// An operation that returns a new image; the source is never changed.
void newImage(benchmark::State& state, int32_t size, const MakeImage& op) {
  const Image& source = photo(size);
  for (auto _ : state) {
    auto out = op(source);
    if (!out) {
      state.SkipWithError("the operation made no image");
      break;
    }
    benchmark::DoNotOptimize(out->pixels().data());
  }
  countPixels(state, size);
}

using InPlace = std::function<void(Image&)>;

// An in-place filter, each iteration on a fresh copy of the photo.
void inPlace(benchmark::State& state, int32_t size, const InPlace& op) {
  const Image& source = photo(size);
  auto working = Image::copyOf(source);
  for (auto _ : state) {
    restore(state, *working, source);
    op(*working);
    benchmark::DoNotOptimize(working->pixels().data());
  }
  countPixels(state, size);
}

// ---------------------------------------------------------------- registration

std::vector<int32_t> parseSizes(const char* text) {
  std::vector<int32_t> sizes;
  const char* p = text;
  while (*p != '\0') {
    char* end = nullptr;
    const long value = std::strtol(p, &end, 10);
    if (end == p || value < 64 || value > 16384) return {};
    sizes.push_back(static_cast<int32_t>(value));
    p = end;
    if (*p == ',') ++p;
  }
  return sizes;
}

void registerAll(const std::vector<int32_t>& sizes) {
  using Body = std::function<void(benchmark::State&, int32_t)>;
  const auto add = [](const std::string& name, int32_t size, Body body) {
    benchmark::RegisterBenchmark((name + "/" + std::to_string(size)).c_str(),
                                 [size, body](benchmark::State& state) { body(state, size); })
        ->Unit(benchmark::kMillisecond);
  };
  const auto addNew = [&add](const std::string& name, int32_t size, MakeImage op) {
    add(name, size, [op](benchmark::State& state, int32_t n) { newImage(state, n, op); });
  };
  const auto addInPlace = [&add](const std::string& name, int32_t size, InPlace op) {
    add(name, size, [op](benchmark::State& state, int32_t n) { inPlace(state, n, op); });
  };

  for (const int32_t size : sizes) {
    for (const int32_t bits : {1, 4, 8, 16, 24, 32}) {
      const std::string depth = std::to_string(bits) + "bpp";
      add("read/" + depth, size, [bits](benchmark::State& s, int32_t n) { readFile(s, n, bits); });
      add("write/" + depth, size, [bits](benchmark::State& s, int32_t n) { writeFile(s, n, bits); });
    }
    add("image_load/24bpp", size, imageLoad);
    add("image_save/24bpp", size, imageSave);

    static const char* const methods[] = {"point", "bilinear", "gaussian"};
    for (int32_t method = 0; method < 3; ++method) {
      add(std::string("sample/") + methods[method], size,
          [method](benchmark::State& s, int32_t n) { sampleGrid(s, n, method); });
    }
    for (int32_t effect = 0; effect < 3; ++effect) {
      addNew("fun/" + std::to_string(effect), size,
             [effect](const Image& im) { return im.fun(effect); });
    }
    addNew("mosaic/16", size, [](const Image& im) { return im.mosaic(16); });

    addInPlace("noise/0.3", size, [](Image& im) { im.noise(0.3); });
    addInPlace("brightness/1.2", size, [](Image& im) { im.brightness(1.2); });
    addInPlace("contrast/1.3", size, [](Image& im) { im.contrast(1.3); });
    addInPlace("saturation/1.4", size, [](Image& im) { im.saturation(1.4); });
    addInPlace("extractChannel/1", size, [](Image& im) { im.extractChannel(1); });
    addInPlace("quantize/3", size, [](Image& im) { im.quantize(3); });
    addInPlace("randomDither/1", size, [](Image& im) { im.randomDither(1); });
    addInPlace("orderedDither/1", size, [](Image& im) { im.orderedDither(1); });
    addInPlace("FloydSteinbergDither/1", size, [](Image& im) { im.FloydSteinbergDither(1); });
    addInPlace("blur/5", size, [](Image& im) { im.blur(5); });
    addInPlace("sharpen/5", size, [](Image& im) { im.sharpen(5); });
    // edgeDetect needs a second grid; without one the timings would mean nothing.
    addInPlace("edgeDetect", size, [](Image& im) { if (!im.edgeDetect()) std::abort(); });

    addNew("crop/half", size, [](const Image& im) {
      return im.crop(im.width() / 4, im.height() / 4, im.width() / 2, im.height() / 2);
    });
    addNew("scale/0.5", size, [](const Image& im) { return im.scale(0.5, 0.5); });
    addNew("rotate/30", size, [](const Image& im) { return im.rotate(30.0); });
    addNew("autoCrop", size, [](const Image& im) { return im.autoCrop(); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* sizesText = std::getenv("BMPFUN_BENCH_SIZES");
  // Take --sizes=... out of the arguments before Google Benchmark sees them.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strncmp(argv[i], "--sizes=", 8) == 0) {
      sizesText = argv[i] + 8;
    } else {
      args.push_back(argv[i]);
    }
  }
  const std::vector<int32_t> sizes = parseSizes(sizesText != nullptr ? sizesText : "1024,2048,4096");
  if (sizes.empty()) {
    std::fprintf(stderr, "bmpfun_bench: --sizes wants side lengths 64..16384, e.g. 1024,2048\n");
    return 2;
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  registerAll(sizes);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
