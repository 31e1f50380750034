#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace bmpfun {
void PrintTo(const Pixel& p, std::ostream* os) {
  *os << "(" << int{p.r} << ", " << int{p.g} << ", " << int{p.b} << ", " << int{p.a} << ")";
}

void PrintTo(const BitmapPixel& p, std::ostream* os) {
  *os << "(b " << int{p.blue} << ", g " << int{p.green} << ", r " << int{p.red} << ", a " << int{p.alpha} << ")";
}
}  // namespace bmpfun

namespace bmpfun::test {

BitmapPixel px(int b, int g, int r, int a) {
  return BitmapPixel{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r),
                     static_cast<uint8_t>(a)};
}


std::filesystem::path testdata() {
  std::filesystem::path p = BMPFUN_TESTDATA_DIR;
  if (!std::filesystem::exists(p / "golden" / "cases.tsv")) {
    ADD_FAILURE() << "shared test material missing at " << p;
  }
  return p;
}

std::filesystem::path cliPath() {
  // The installed-prefix run points the same tests at the installed program.
  if (const char* installed = std::getenv("BMPFUN_CLI")) return installed;
  return BMPFUN_CLI_PATH;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "bmpfun-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

uint16_t getU16(const std::vector<uint8_t>& in, size_t offset) {
  return static_cast<uint16_t>(in.at(offset) | (in.at(offset + 1) << 8));
}

uint32_t getU32(const std::vector<uint8_t>& in, size_t offset) {
  return uint32_t{in.at(offset)} | (uint32_t{in.at(offset + 1)} << 8) |
         (uint32_t{in.at(offset + 2)} << 16) | (uint32_t{in.at(offset + 3)} << 24);
}

std::vector<uint8_t> makeBmp(const BmpLayout& layout) {
  std::vector<uint8_t> out;
  const uint32_t offBits = layout.offBits >= 0 ? static_cast<uint32_t>(layout.offBits)
                                             : static_cast<uint32_t>(54 + layout.table.size());
  putU16(out, 19778);
  putU32(out, static_cast<uint32_t>(54 + layout.table.size() + layout.pixelData.size()));
  putU16(out, 0);
  putU16(out, 0);
  putU32(out, offBits);
  putU32(out, layout.infoSize);
  putU32(out, static_cast<uint32_t>(layout.width));
  putU32(out, static_cast<uint32_t>(layout.height));
  putU16(out, 1);
  putU16(out, layout.bits);
  putU32(out, layout.compression);
  putU32(out, static_cast<uint32_t>(layout.pixelData.size()));
  putU32(out, 3780);
  putU32(out, 3780);
  putU32(out, 0);
  putU32(out, 0);
  out.insert(out.end(), layout.table.begin(), layout.table.end());
  out.insert(out.end(), layout.pixelData.begin(), layout.pixelData.end());
  return out;
}

namespace {
std::string slurp(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}
}  // namespace

pid_t startCli(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const std::string prog = cliPath().string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(prog.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, prog.c_str(), &fa, &attributes, argv.data(), environ) != 0) {
    ADD_FAILURE() << "cannot start " << prog;
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

RunResult runCli(const std::vector<std::string>& args) {
  RunResult r;
  TempDir dir;
  const std::string outPath = dir.file("stdout"), errPath = dir.file("stderr");
  const pid_t pid = startCli(args, outPath, errPath);
  if (pid < 0) return r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  int fo = open(outPath.c_str(), O_RDONLY), fe = open(errPath.c_str(), O_RDONLY);
  r.out = slurp(fo);
  r.err = slurp(fe);
  close(fo);
  close(fe);
  return r;
}

std::unique_ptr<Image> makeTestImage(int32_t width, int32_t height, uint32_t seed) {
  auto img = Image::create(width, height);
  if (!img) return img;
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      Pixel& p = img->pixel(x, y);
      const uint32_t noise = rng() & 15u;
      p.r = static_cast<uint8_t>((x * 255 / (width > 1 ? width - 1 : 1) + noise) & 0xFF);
      p.g = static_cast<uint8_t>((y * 255 / (height > 1 ? height - 1 : 1)) ^ (noise << 2));
      p.b = static_cast<uint8_t>(((x / 3 + y / 5) % 2) ? 230 : 20);
      p.a = static_cast<uint8_t>(rng() & 0xFF);
    }
  }
  return img;
}

std::unique_ptr<Image> uniformImage(int32_t width, int32_t height, Pixel value) {
  auto image = Image::create(width, height);
  if (image) {
    for (Pixel& p : image->pixels()) p = value;
  }
  return image;
}

std::unique_ptr<Image> coded(int32_t width, int32_t height) {
  auto image = Image::create(width, height);
  if (!image) return image;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      image->pixel(x, y) = Pixel{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 77, 100};
    }
  }
  return image;
}

std::unique_ptr<Image> randomImage(int32_t width, int32_t height, uint32_t seed) {
  auto image = Image::create(width, height);
  if (!image) return image;
  std::mt19937 rng(seed);
  for (Pixel& p : image->pixels()) {
    const uint32_t bits = static_cast<uint32_t>(rng());
    p = Pixel{static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
              static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
  }
  return image;
}

::testing::AssertionResult samePixel(const Pixel& got, const Pixel& want) {
  if (got == want) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "got ";
  std::ostringstream text;
  PrintTo(got, &text);
  text << " want ";
  PrintTo(want, &text);
  return failure << text.str();
}

std::vector<Pixel> pixelsOf(const Image& image) {
  return {image.pixels().begin(), image.pixels().end()};
}

ssize_t FaultyIo::write(int fd, const void* data, size_t size) {
  ++writes;
  if (budget == 0) {
    errno = ENOSPC;
    return failResult;
  }
  const ssize_t n = ::write(fd, data, std::min({size, budget, chunk}));
  if (n > 0) budget -= static_cast<size_t>(n);
  return n;
}

int FaultyIo::sync(int fd) {
  if (++syncs != failSyncAt) return ::fsync(fd);
  errno = EIO;
  return -1;
}

int FaultyIo::close(int fd) {
  const int r = ::close(fd);
  if (!failClose) return r;
  errno = EIO;
  return -1;
}

int inUnprivilegedChild(const std::function<int()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(90);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void giveAway(const std::filesystem::path& path, mode_t mode) {
  if (geteuid() == 0) ASSERT_EQ(lchown(path.c_str(), kNobody, kNobody), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::vector<std::string> listDir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace bmpfun::test
