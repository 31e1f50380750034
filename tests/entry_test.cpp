// The C entry: BMPFun through the installed libbmpfun.so (opened with dlopen, as a host
// would), BMPNoise and the path conversion through the C++ library.
#include "entry/entry.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using bmpfun::test::readBytes;
using bmpfun::test::TempDir;
using bmpfun::test::testdata;
using bmpfun::test::writeBytes;

namespace {

using BMPFunFunction = int32_t (*)(const char16_t*, const char16_t*, int32_t);

const char* const kInstalledLibrary = BMPFUN_INSTALLED_LIBRARY;

// Test folders and the shared material live at ASCII paths; widen them unit by unit.
std::u16string widen(const std::string& text) {
  std::u16string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_LT(byte, 0x80) << "not an ASCII path: " << text;
    out.push_back(static_cast<char16_t>(byte));
  }
  return out;
}
std::u16string widen(const fs::path& path) { return widen(path.string()); }

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Redirects file descriptor 1 into a file while alive. finish() returns what reached the
// descriptor *before* our own stdio buffer is flushed, so a message the library left in the
// buffer shows up as missing.
class StdoutCapture {
 public:
  StdoutCapture() : file_(dir_.file("stdout")) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_GE(saved_, 0);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() {
    if (saved_ >= 0) finish();
  }

  std::string finish() {
    const std::string seen = readText(file_);
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    EXPECT_EQ(readText(file_), seen) << "standard output was not flushed by the call";
    return seen;
  }

 private:
  TempDir dir_;
  std::string file_;
  int saved_ = -1;
};

struct CallResult {
  int32_t code = 0;
  std::string out;
};

// One line of the reference table, with the argument array split into strings.
struct GoldenCase {
  std::string name;
  int exitCode = -1;
  bool writesOutput = false;
  std::vector<std::string> args;
};

std::vector<std::string> parseJsonStrings(const std::string& json) {
  std::vector<std::string> out;
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '"') continue;
    std::string value;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) ++i;
      value.push_back(json[i]);
    }
    out.push_back(value);
  }
  return out;
}

std::vector<GoldenCase> goldenCases(const std::string& command) {
  std::vector<GoldenCase> cases;
  std::ifstream in(testdata() / "golden" / "cases.tsv");
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream s(line);
    for (std::string col; std::getline(s, col, '\t');) cols.push_back(col);
    if (cols.size() != 5) continue;
    GoldenCase c{cols[0], std::stoi(cols[1]), cols[2] == "expected.bmp", parseJsonStrings(cols[4])};
    if (!c.args.empty() && c.args[0] == command) cases.push_back(c);
  }
  return cases;
}

fs::path goldenDir(const std::string& name) { return testdata() / "golden" / name; }

// ---------------------------------------------------------------- BMPFun, installed library

class InstalledLibrary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle_ = ::dlopen(kInstalledLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      openError_ = ::dlerror();
      return;
    }
    void* symbol = ::dlsym(handle_, "BMPFun");
    std::memcpy(&bmpFun_, &symbol, sizeof symbol);
  }
  static void TearDownTestSuite() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
    bmpFun_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(handle_, nullptr) << "cannot open " << kInstalledLibrary << ": " << openError_
                                << " (the install fixture runs first under ctest)";
    ASSERT_NE(bmpFun_, nullptr);
  }

  static CallResult call(const std::optional<std::u16string>& input,
                         const std::optional<std::u16string>& output, int32_t effect) {
    StdoutCapture capture;
    CallResult r;
    r.code = bmpFun_(input ? input->c_str() : nullptr, output ? output->c_str() : nullptr, effect);
    r.out = capture.finish();
    return r;
  }

  inline static void* handle_ = nullptr;
  inline static BMPFunFunction bmpFun_ = nullptr;
  inline static std::string openError_;
};

TEST_F(InstalledLibrary, EntryComesFromTheInstalledFile) {
  Dl_info info{};
  void* address = nullptr;
  std::memcpy(&address, &bmpFun_, sizeof address);
  ASSERT_NE(::dladdr(address, &info), 0);
  EXPECT_EQ(fs::canonical(info.dli_fname), fs::canonical(kInstalledLibrary));
  // This executable also links the C++ library's copy; the test must not be calling that one.
  EXPECT_NE(bmpFun_, &::BMPFun);
}

TEST_F(InstalledLibrary, GoldenFunCasesMatchByteForByte) {
  std::set<int32_t> effectsWritten;
  int checked = 0;
  for (const GoldenCase& c : goldenCases("fun")) {
    if (c.name.rfind("fun-", 0) != 0) continue;
    ASSERT_EQ(c.args.size(), 4u) << c.name;
    ASSERT_EQ(c.args[1], "{in}");
    ASSERT_EQ(c.args[2], "{out}");
    SCOPED_TRACE(c.name);
    const int32_t effect = std::stoi(c.args[3]);
    const fs::path in = goldenDir(c.name) / "in.bmp";
    const std::vector<uint8_t> inBefore = readBytes(in);
    TempDir dir;
    const std::string out = dir.file("out.bmp");

    if (c.exitCode == 0) {
      ASSERT_TRUE(c.writesOutput);
      const CallResult r = call(widen(in), widen(out), effect);
      EXPECT_EQ(r.code, BMPFUN_OK);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(readBytes(out), readBytes(goldenDir(c.name) / "expected.bmp"));
      effectsWritten.insert(effect);
    } else {
      // The reference refuses these as effects without a warp; the entry says -2 and leaves
      // a file already at the output path alone.
      ASSERT_FALSE(c.writesOutput);
      ASSERT_TRUE(effect < 0 || effect > 2) << "unexpected failing case";
      writeBytes(out, {'k', 'e', 'e', 'p'});
      const CallResult r = call(widen(in), widen(out), effect);
      EXPECT_EQ(r.code, BMPFUN_ERROR_EFFECT);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(readBytes(out), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    }
    EXPECT_EQ(readBytes(in), inBefore) << "the input file changed";
    ++checked;
  }
  EXPECT_GE(checked, 10);
  EXPECT_EQ(effectsWritten, (std::set<int32_t>{0, 1, 2}));
}

TEST_F(InstalledLibrary, NonAsciiPathsReachTheFileSystemAsUtf8) {
  TempDir dir;
  // e-acute (2 bytes), a CJK ideograph (3 bytes), an emoji (surrogate pair, 4 bytes).
  const std::string inName = "in-\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80.bmp";
  const std::u16string inWide = u"in-\u00E9\u6F22\U0001F600.bmp";
  const std::string outName = "out-\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80.bmp";
  const std::u16string outWide = u"out-\u00E9\u6F22\U0001F600.bmp";
  fs::copy_file(goldenDir("fun-01") / "in.bmp", dir.path() / inName);

  const std::u16string base = widen(dir.path()) + u"/";
  const CallResult r = call(base + inWide, base + outWide, 0);
  EXPECT_EQ(r.code, BMPFUN_OK);
  EXPECT_EQ(readBytes(dir.path() / outName), readBytes(goldenDir("fun-01") / "expected.bmp"));
}

// Each failure has its code, its message (or none), and leaves the output path as it was.
TEST_F(InstalledLibrary, FailuresReturnTheirCodeAndWriteNothing) {
  TempDir dir;
  const std::string good = (goldenDir("fun-01") / "in.bmp").string();
  const std::string missing = dir.file("missing.bmp");
  const std::string notBmp = dir.file("text.bmp");
  writeBytes(notBmp, {'h', 'e', 'l', 'l', 'o'});
  // 20000 x 20000 pixels passes the default limit of 2^28; the file itself is tiny.
  const std::string huge = dir.file("huge.bmp");
  writeBytes(huge, bmpfun::test::makeBmp({.width = 20000, .height = 20000, .bits = 24}));
  // 1 x 8200 loads, but effect 1 would make a 16401 x 16401 disc, past the limit.
  const std::string tall = dir.file("tall.bmp");
  writeBytes(tall, bmpfun::test::makeBmp({.width = 1,
                                           .height = 8200,
                                           .bits = 24,
                                           .pixelData = std::vector<uint8_t>(8200 * 4, 0x40)}));
  const std::string existing = dir.file("existing.bmp");
  const std::string fresh = dir.file("fresh.bmp");
  const std::string subdir = dir.file("subdir");
  fs::create_directory(subdir);
  const std::u16string loneHigh = widen(dir.path()) + u"/in-\xD800.bmp";
  const std::u16string loneLowOut = widen(dir.path()) + u"/out-\xDC00.bmp";

  const std::string loadPrefix = "Error loading image: ";
  struct Case {
    const char* label;
    std::optional<std::u16string> input;
    std::optional<std::u16string> output;
    int32_t effect;
    int32_t code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"effect 3", widen(good), widen(existing), 3, BMPFUN_ERROR_EFFECT, ""},
      {"effect -1", widen(good), widen(existing), -1, BMPFUN_ERROR_EFFECT, ""},
      {"effect INT32_MIN", widen(good), widen(existing), INT32_MIN, BMPFUN_ERROR_EFFECT, ""},
      {"missing input", widen(missing), widen(existing), 0, BMPFUN_ERROR_LOAD, loadPrefix + missing},
      {"missing input, bad effect too", widen(missing), widen(existing), 7, BMPFUN_ERROR_LOAD,
       loadPrefix + missing},
      {"null input", std::nullopt, widen(existing), 0, BMPFUN_ERROR_LOAD, loadPrefix},
      {"unpaired surrogate in input", loneHigh, widen(existing), 0, BMPFUN_ERROR_LOAD, loadPrefix},
      {"input not a BMP file", widen(notBmp), widen(existing), 1, BMPFUN_ERROR_LOAD, loadPrefix + notBmp},
      {"input over the size limit", widen(huge), widen(existing), 0, BMPFUN_ERROR_LOAD,
       loadPrefix + huge},
      {"result over the size limit", widen(tall), widen(existing), 1, BMPFUN_ERROR_ALLOCATE,
       "Error allocating image."},
      {"null output", widen(good), std::nullopt, 2, BMPFUN_ERROR_SAVE, ""},
      {"output in a missing folder", widen(good), widen(dir.file("no/such/dir/out.bmp")), 0,
       BMPFUN_ERROR_SAVE, ""},
      {"output is a folder", widen(good), widen(subdir), 0, BMPFUN_ERROR_SAVE, ""},
      {"unpaired surrogate in output", widen(good), loneLowOut, 0, BMPFUN_ERROR_SAVE, ""},
  };
  const std::vector<uint8_t> keep = {'k', 'e', 'e', 'p'};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeBytes(existing, keep);
    const CallResult r = call(c.input, c.output, c.effect);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(readBytes(existing), keep);
    EXPECT_TRUE(fs::is_directory(subdir));
  }
  // Nothing was created beside the files made above.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"existing.bmp", "huge.bmp", "subdir", "tall.bmp", "text.bmp"}));
  EXPECT_TRUE(fs::is_empty(subdir));
  EXPECT_FALSE(fs::exists(fresh));

  // The process is still here and the entry still works after all of that.
  const CallResult ok = call(widen(good), widen(fresh), 0);
  EXPECT_EQ(ok.code, BMPFUN_OK);
  EXPECT_EQ(readBytes(fresh), readBytes(goldenDir("fun-01") / "expected.bmp"));
}

// ---------------------------------------------------------------- the export table

std::vector<std::string> symbolsOf(const std::string& nmArguments, const std::string& file = kInstalledLibrary) {
  const std::string command = "nm " + nmArguments + " '" + file + "'";
  std::vector<std::string> names;
  FILE* pipe = ::popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  if (pipe == nullptr) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (!words.empty()) names.push_back(words.back());
  }
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return names;
}

TEST(EntryExports, InstalledLibraryDefinesExactlyBMPFun) {
  EXPECT_EQ(symbolsOf("-D --defined-only"), std::vector<std::string>{"BMPFun"});

  void* handle = ::dlopen(kInstalledLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  EXPECT_NE(::dlsym(handle, "BMPFun"), nullptr);
  EXPECT_EQ(::dlsym(handle, "BMPNoise"), nullptr);
  ::dlclose(handle);
}

// The static C++ library carries no C entry: a C++ program that links it gets no BMPFun or
// BMPNoise, nor any other name of ours outside namespace bmpfun. nm's posix format puts the
// type letter after the name; every defined function and object (T, D, B, R; weak template
// instances of the standard library aside) must be a C++ name in namespace bmpfun.
TEST(EntryExports, InstalledStaticLibraryDefinesNoCSymbol) {
  const std::string archive = (fs::path(kInstalledLibrary).parent_path() / "libbmpfun-core.a").string();
  const std::string command = "nm --defined-only --extern-only --format=posix '" + archive + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << command;
  std::vector<std::string> unprefixed;
  size_t code = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string name, type;
    if (!(fields >> name >> type) || type.size() != 1 || std::string("TDBR").find(type[0]) == std::string::npos) continue;
    ++code;
    // Mangled (_Z...) and naming the namespace: functions, vtables and typeinfo alike.
    // AddressSanitizer adds an indicator per global object, named after the object.
    const std::string odrIndicator = "__odr_asan.";
    const std::string mangled = name.rfind(odrIndicator, 0) == 0 ? name.substr(odrIndicator.size()) : name;
    if (mangled.rfind("_Z", 0) != 0 || mangled.find("6bmpfun") == std::string::npos) unprefixed.push_back(name);
  }
  EXPECT_EQ(::pclose(pipe), 0) << command;
  EXPECT_GT(code, 50u) << "too few symbols: was the archive read?";
  EXPECT_EQ(unprefixed, std::vector<std::string>{});
}

// Loading runs no code of ours: no translation unit has a dynamic initialiser or a static
// destructor. The compiler names those functions _GLOBAL__sub_I_* / _GLOBAL__sub_D_*; the
// sanitizers add their own, numbered by priority (_GLOBAL__sub_I_00099_...), which are not ours.
TEST(EntryExports, NothingOfOursRunsAtLoadOrUnload) {
  const std::regex ours(R"(^_GLOBAL__sub_[ID]_(?![0-9]{5}_))");
  const std::vector<std::string> all = symbolsOf("");
  ASSERT_GT(all.size(), 10u) << "the installed library has no symbol table";
  for (const std::string& name : all) EXPECT_FALSE(std::regex_search(name, ours)) << name;
}

// ---------------------------------------------------------------- path conversion

TEST(PathConversion, Utf16ToUtf8Table) {
  struct Row {
    const char* label;
    std::u16string in;
    bool ok;
    std::string out;
  };
  const std::vector<Row> rows = {
      {"empty", u"", true, ""},
      {"ASCII", u"/tmp/a b.bmp", true, "/tmp/a b.bmp"},
      {"last 1-byte", {0x7F}, true, "\x7F"},
      {"first 2-byte", {0x80}, true, "\xC2\x80"},
      {"e-acute", {0xE9}, true, "\xC3\xA9"},
      {"last 2-byte", {0x7FF}, true, "\xDF\xBF"},
      {"first 3-byte", {0x800}, true, "\xE0\xA0\x80"},
      {"euro sign", {0x20AC}, true, "\xE2\x82\xAC"},
      {"last before surrogates", {0xD7FF}, true, "\xED\x9F\xBF"},
      {"first after surrogates", {0xE000}, true, "\xEE\x80\x80"},
      {"last 3-byte", {0xFFFF}, true, "\xEF\xBF\xBF"},
      {"first pair", {0xD800, 0xDC00}, true, "\xF0\x90\x80\x80"},
      {"emoji pair", {0xD83D, 0xDE00}, true, "\xF0\x9F\x98\x80"},
      {"last pair", {0xDBFF, 0xDFFF}, true, "\xF4\x8F\xBF\xBF"},
      {"mixed", {'a', 0xE9, 0xD83D, 0xDE00, 'z'}, true, "a\xC3\xA9\xF0\x9F\x98\x80z"},
      {"lone high", {'a', 0xD800, 'b'}, false, ""},
      {"lone low", {'a', 0xDC00, 'b'}, false, ""},
      {"high at end", {'a', 'b', 0xDBFF}, false, ""},
      {"low before high", {0xDE00, 0xD83D}, false, ""},
      {"two highs", {0xD83D, 0xD83D, 0xDE00}, false, ""},
      {"good pair then lone low", {0xD83D, 0xDE00, 0xDE00}, false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string out = "stale";
    EXPECT_EQ(bmpfun::entry::utf16ToUtf8(row.in, out), row.ok);
    EXPECT_EQ(out, row.out);
  }
}

TEST(PathConversion, NullStaysAbsentAndAFailureGivesTheEmptyName) {
  const bmpfun::entry::NarrowPath none = bmpfun::entry::narrowPath(nullptr);
  EXPECT_FALSE(none.present);
  const char16_t broken[] = {'x', 0xDC00, 'y', 0};
  const bmpfun::entry::NarrowPath failed = bmpfun::entry::narrowPath(broken);
  EXPECT_TRUE(failed.present);
  EXPECT_EQ(failed.name, "");
  const bmpfun::entry::NarrowPath good = bmpfun::entry::narrowPath(u"/x/\u00FC.bmp");
  EXPECT_TRUE(good.present);
  EXPECT_EQ(good.name, "/x/\xC3\xBC.bmp");
}

// ---------------------------------------------------------------- BMPNoise (not exported)

CallResult callNoise(const std::optional<std::u16string>& input, const std::optional<std::u16string>& output) {
  StdoutCapture capture;
  CallResult r;
  r.code = BMPNoise(input ? input->c_str() : nullptr, output ? output->c_str() : nullptr);
  r.out = capture.finish();
  return r;
}

// The references were made in processes that never seeded rand(), which is the state
// srand(1) restores.
TEST(BMPNoise, GoldenNoiseCasesWithAnUnseededGenerator) {
  int checked = 0;
  for (const GoldenCase& c : goldenCases("noise")) {
    if (c.exitCode != 0) continue;
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::srand(1);
    const CallResult r = callNoise(widen(goldenDir(c.name) / "in.bmp"), widen(dir.file("out.bmp")));
    EXPECT_EQ(r.code, BMPFUN_OK);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readBytes(dir.file("out.bmp")), readBytes(goldenDir(c.name) / "expected.bmp"));
    ++checked;
  }
  EXPECT_GE(checked, 5);
}

// Column by column, four draws per pixel stored to a, b, g, r, each added with saturation;
// exactly 4 w h draws, and the library does not reseed the generator on its own.
TEST(BMPNoise, AddsFourDrawsPerPixelColumnByColumn) {
  TempDir dir;
  const int32_t w = 7, h = 5;
  ASSERT_TRUE(bmpfun::test::makeTestImage(w, h, 3)->save(dir.file("in.bmp")));
  const auto input = bmpfun::Image::load(dir.file("in.bmp"));
  ASSERT_TRUE(input);

  std::srand(4242);
  const CallResult r = callNoise(widen(dir.file("in.bmp")), widen(dir.file("out.bmp")));
  const int afterCall = std::rand();
  ASSERT_EQ(r.code, BMPFUN_OK);
  const std::vector<uint8_t> bytes = readBytes(dir.file("out.bmp"));
  ASSERT_GE(bytes.size(), 54u);
  EXPECT_EQ(bmpfun::test::getU16(bytes, 28), 24);
  const auto output = bmpfun::Image::load(dir.file("out.bmp"));
  ASSERT_TRUE(output);

  std::srand(4242);
  auto add = [](uint8_t c, int draw) { return static_cast<uint8_t>(std::min(c + draw % 256, 255)); };
  for (int32_t x = 0; x < w; ++x) {
    for (int32_t y = 0; y < h; ++y) {
      std::rand();  // alpha: dropped by the 24-bit file
      const int b = std::rand(), g = std::rand(), rr = std::rand();
      const bmpfun::Pixel in = input->pixel(x, y), out = output->pixel(x, y);
      ASSERT_EQ(out.r, add(in.r, rr)) << x << "," << y;
      ASSERT_EQ(out.g, add(in.g, g)) << x << "," << y;
      ASSERT_EQ(out.b, add(in.b, b)) << x << "," << y;
    }
  }
  EXPECT_EQ(std::rand(), afterCall);
}

TEST(BMPNoise, FailuresReturnTheSameCodesAsBMPFun) {
  TempDir dir;
  const std::string missing = dir.file("missing.bmp");
  const std::u16string good = widen(goldenDir("noise-00") / "in.bmp");

  CallResult r = callNoise(widen(missing), widen(dir.file("out.bmp")));
  EXPECT_EQ(r.code, BMPFUN_ERROR_LOAD);
  EXPECT_EQ(r.out, "Error loading image: " + missing);
  r = callNoise(std::nullopt, widen(dir.file("out.bmp")));
  EXPECT_EQ(r.code, BMPFUN_ERROR_LOAD);
  EXPECT_EQ(r.out, "Error loading image: ");
  r = callNoise(good, std::nullopt);
  EXPECT_EQ(r.code, BMPFUN_ERROR_SAVE);
  EXPECT_EQ(r.out, "");
  r = callNoise(good, widen(dir.file("no/dir/out.bmp")));
  EXPECT_EQ(r.code, BMPFUN_ERROR_SAVE);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
