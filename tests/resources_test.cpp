// BMPFun over many calls and on two threads: memory stays flat across a thousand calls
// (successes and failures alike; leaks themselves are the sanitizer build's business), and
// concurrent calls on different files give exactly what a lone call gives.
#include <bmpfun/bmpfun.h>
#include <bmpfun/image.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <fstream>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define BMPFUN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BMPFUN_ASAN 1
#endif
#endif

namespace bmpfun {
namespace {

using test::readBytes;
using test::TempDir;

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int32_t callBMPFun(const std::string& in, const std::string& out, int32_t effect) {
  const std::u16string i = widen(in), o = widen(out);
  return BMPFun(i.c_str(), o.c_str(), effect);
}

// Resident set size in bytes, from /proc/self/statm.
long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Standard output goes to /dev/null while it lives (a failing load prints its message).
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

TEST(Resources, AThousandCallsKeepMemoryFlat) {
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = dir.file("out.bmp");
  ASSERT_TRUE(test::makeTestImage(24, 16, 9)->save(in));
  // Effects 0, 1, 2, then a failure: alternately a save into a missing directory and a
  // missing input.
  auto call = [&](int k) {
    switch (k % 4) {
      case 3:
        return k % 8 == 3 ? callBMPFun(in, dir.file("none/out.bmp"), 0) == BMPFUN_ERROR_SAVE
                          : callBMPFun(dir.file("missing.bmp"), out, 0) == BMPFUN_ERROR_LOAD;
      default:
        return callBMPFun(in, out, k % 4) == BMPFUN_OK;
    }
  };
  QuietStdout quiet;
  int failures = 0;
  for (int k = 0; k < 100; ++k) failures += call(k) ? 0 : 1;
  const long warm = residentBytes();
  for (int k = 0; k < 1000; ++k) failures += call(k) ? 0 : 1;
  const long after = residentBytes();
  EXPECT_EQ(failures, 0);
  ASSERT_GT(warm, 0);
#ifndef BMPFUN_ASAN  // freed memory sits in the sanitizer's quarantine and is not reused
  // One call's images and buffers are well under 1 MiB: a leak of any of them per call
  // would pass this bound several hundred times over.
  EXPECT_LT(after - warm, 1L << 20) << "resident " << warm << " -> " << after;
#else
  (void)after;
#endif
}

TEST(Resources, TwoThreadsAtOnceMatchLoneCalls) {
  TempDir dir;
  const std::string inA = dir.file("a.bmp"), inB = dir.file("b.bmp");
  ASSERT_TRUE(test::makeTestImage(37, 21, 3)->save(inA));
  ASSERT_TRUE(test::makeTestImage(19, 33, 4)->save(inB));
  const struct { int32_t a, b; } pairs[] = {{0, 1}, {1, 2}, {2, 0}, {1, 1}};
  QuietStdout quiet;
  for (const auto& p : pairs) {
    SCOPED_TRACE(std::to_string(p.a) + "/" + std::to_string(p.b));
    ASSERT_EQ(callBMPFun(inA, dir.file("lone-a.bmp"), p.a), BMPFUN_OK);
    ASSERT_EQ(callBMPFun(inB, dir.file("lone-b.bmp"), p.b), BMPFUN_OK);
    const auto loneA = readBytes(dir.file("lone-a.bmp")), loneB = readBytes(dir.file("lone-b.bmp"));
    for (int round = 0; round < 10; ++round) {
      std::barrier start(2);
      int32_t codeA = 0, codeB = 0;
      std::thread ta([&] {
        start.arrive_and_wait();
        codeA = callBMPFun(inA, dir.file("a-out.bmp"), p.a);
      });
      std::thread tb([&] {
        start.arrive_and_wait();
        codeB = callBMPFun(inB, dir.file("b-out.bmp"), p.b);
      });
      ta.join();
      tb.join();
      ASSERT_EQ(codeA, BMPFUN_OK);
      ASSERT_EQ(codeB, BMPFUN_OK);
      ASSERT_EQ(readBytes(dir.file("a-out.bmp")), loneA);
      ASSERT_EQ(readBytes(dir.file("b-out.bmp")), loneB);
    }
  }
}

}  // namespace
}  // namespace bmpfun
