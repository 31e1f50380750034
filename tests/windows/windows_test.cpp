// The Windows side of the platform layer: names beyond any code page from the caller to the
// file system, the replacement of a file another process holds open, read-only and hidden
// files, folders and devices in the way, writes cut short, the system's words for its errors,
// and the program's UTF-16 arguments and messages.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/paths.hpp>

#include "base/file_output.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace bmpfun {
namespace {

using test::readBytes;
using test::TempDir;

// A path string from wide text (test names are written as UTF-16 literals).
std::string utf8(const std::wstring& wide) { return pathFromUtf16(std::u16string(wide.begin(), wide.end())); }
std::wstring wide(const std::string& path) {
  std::u16string units;
  EXPECT_TRUE(utf16FromPath(path, units)) << path;
  return std::wstring(units.begin(), units.end());
}

std::vector<uint8_t> bytesOf(const std::wstring& path) { return readBytes(std::filesystem::path(path)); }

// The names in a folder, sorted, as path strings.
std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

std::unique_ptr<Image> picture(uint32_t seed) { return test::makeTestImage(40, 30, seed); }

// ---------------------------------------------------------------- names

TEST(Names, EveryNameReachesTheFileSystemAsItsUnits) {
  const std::wstring names[] = {L"caf\u00e9\\\u65e5\u672c.bmp", L"\u0391\u03b2\u03b3 \u0434.bmp",
                                L"\U0001F600 smile.bmp", L"a+b=c;d'e.bmp"};
  TempDir dir;
  CreateDirectoryW((dir.path() / L"caf\u00e9").c_str(), nullptr);
  const auto image = picture(7);
  ASSERT_TRUE(image->save(dir.file("plain.bmp")));
  const std::vector<uint8_t> plain = readBytes(dir.file("plain.bmp"));
  const auto read = Image::load(dir.file("plain.bmp"));
  ASSERT_TRUE(read);
  for (const std::wstring& name : names) {
    const std::wstring path = (dir.path() / name).wstring();
    Status status;
    ASSERT_TRUE(image->save(utf8(path), &status)) << to_string(status);
    EXPECT_EQ(bytesOf(path), plain) << utf8(name);
    const auto back = Image::load(utf8(path), {}, &status);
    ASSERT_TRUE(back) << to_string(status);
    EXPECT_EQ(test::pixelsOf(*back), test::pixelsOf(*read));
    Bitmap bitmap;
    EXPECT_TRUE(bitmap.loadFile(utf8(path), {}, &status)) << to_string(status);
  }
}

TEST(Names, BytesThatAreNoNameAndFoldersAreRefusedWithTheirReason) {
  TempDir dir;
  const std::string base = dir.path().string() + "\\";
  const struct {
    const char* what;
    std::string path;
    int error;
    bool saveFails;
  } cases[] = {{"not WTF-8", base + "bad\xFF.bmp", EILSEQ, true},
               {"a folder", dir.path().string(), EISDIR, true},
               {"a missing folder", base + "none\\x.bmp", ENOENT, true},
               {"a missing file", base + "none.bmp", ENOENT, false}};
  for (const auto& c : cases) {
    Status load, save;
    EXPECT_FALSE(Image::load(c.path, {}, &load)) << c.what;
    EXPECT_EQ(load.cause, Cause::cannotOpen) << c.what;
    EXPECT_EQ(load.systemError, c.error) << c.what << ": " << to_string(load);
    if (!c.saveFails) continue;
    EXPECT_FALSE(picture(1)->save(c.path, &save)) << c.what;
    EXPECT_EQ(save.systemError, c.error) << c.what << ": " << to_string(save);
  }
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{});
}

TEST(Names, DevicesAreWrittenDirectly) {
  Status status;
  EXPECT_TRUE(picture(2)->save("NUL", &status)) << to_string(status);
}

// ---------------------------------------------------------------- replacing a file

// Another process's handle on the output: a rename does not replace an open file, so any
// holder stops the save before it writes, with the system's words for it.
TEST(Replace, AFileHeldOpenKeepsEveryByteAndNoTemporaryIsLeft) {
  const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
  for (const DWORD share : shares) {
    SCOPED_TRACE("shared " + std::to_string(share));
    TempDir dir;
    const std::string out = dir.file("out.bmp");
    ASSERT_TRUE(picture(1)->save(out));
    const std::vector<uint8_t> old = readBytes(out);
    const HANDLE held = CreateFileW(wide(out).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Status status;
    EXPECT_FALSE(picture(2)->save(out, &status));
    CloseHandle(held);
    EXPECT_EQ(status.cause, Cause::writeFailed);
    EXPECT_EQ(status.systemError, -static_cast<int>(ERROR_SHARING_VIOLATION)) << to_string(status);
    EXPECT_EQ(readBytes(out), old);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.bmp"});
    // Once it is closed, the replacement goes through.
    EXPECT_TRUE(picture(2)->save(out, &status)) << to_string(status);
    EXPECT_NE(readBytes(out), old);
  }
}

TEST(Replace, TheProgramSaysWhyAndKeepsTheOldFile) {
  TempDir dir;
  const std::string in = dir.file("in.bmp"), out = utf8((dir.path() / L"\u51fa\u529b.bmp").wstring());
  ASSERT_TRUE(picture(3)->save(in));
  ASSERT_TRUE(picture(4)->save(out));
  const std::vector<uint8_t> old = bytesOf(wide(out));
  const HANDLE held = CreateFileW(wide(out).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const test::RunResult r = test::runCli({"convert", in, out, "8"});
  CloseHandle(held);
  EXPECT_EQ(r.exitCode, 1);
  // Not a console: the name arrives as its UTF-8 bytes, the reason in the system's words.
  EXPECT_EQ(r.err, "bmpfun: " + out + ": cannot write the file: " +
                       systemErrorText(-static_cast<int>(ERROR_SHARING_VIOLATION)) + "\n");
  EXPECT_EQ(bytesOf(wide(out)), old);
  EXPECT_EQ(namesIn(dir.path()).size(), 2u);
}

TEST(Replace, ReadOnlyFilesAreRefusedAndHiddenOnesStayHidden) {
  TempDir dir;
  const std::string out = dir.file("out.bmp");
  ASSERT_TRUE(picture(1)->save(out));
  const std::vector<uint8_t> old = readBytes(out);
  ASSERT_TRUE(SetFileAttributesW(wide(out).c_str(), FILE_ATTRIBUTE_READONLY));
  Status status;
  EXPECT_FALSE(picture(2)->save(out, &status));
  EXPECT_EQ(status.systemError, EACCES) << to_string(status);
  EXPECT_EQ(readBytes(out), old);

  ASSERT_TRUE(SetFileAttributesW(wide(out).c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_TRUE(picture(2)->save(out, &status)) << to_string(status);
  EXPECT_NE(readBytes(out), old);
  EXPECT_NE(GetFileAttributesW(wide(out).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.bmp"});
}

// ---------------------------------------------------------------- writes cut short

// Failures injected through the file interface, over an existing file and to a new one:
// the old file keeps every byte, a new one never appears, nothing is left beside them.
TEST(Faults, AnInterruptedWriteLeavesTheOldFileWhole) {
  const struct {
    const char* what;
    size_t budget;
    int failSyncAt;
    bool failClose;
    int error;
  } cases[] = {{"no byte written", 0, 0, false, ENOSPC},
               {"cut in the header", 20, 0, false, ENOSPC},
               {"cut in the second buffer", 262145, 0, false, ENOSPC},
               {"the flush fails", SIZE_MAX, 1, false, EIO},
               {"the close fails", SIZE_MAX, 0, true, EIO}};
  const auto large = test::makeTestImage(400, 300, 5);  // 360 KB: two buffers
  for (const auto& c : cases) {
    for (const bool exists : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (exists ? ", existing file" : ", new file"));
      TempDir dir;
      const std::string out = dir.file("out.bmp");
      if (exists) {
        ASSERT_TRUE(picture(1)->save(out));
      }
      const std::vector<uint8_t> old = exists ? readBytes(out) : std::vector<uint8_t>{};
      test::FaultyIo io;
      io.budget = c.budget;
      io.failSyncAt = c.failSyncAt;
      io.failClose = c.failClose;
      Status status;
      {
        const test::ScopedFileIo scoped(io);
        EXPECT_FALSE(large->save(out, SaveOptions{.sync = true}, &status));
      }
      EXPECT_EQ(status.cause, Cause::writeFailed);
      EXPECT_EQ(status.systemError, c.error) << to_string(status);
      EXPECT_EQ(namesIn(dir.path()), exists ? std::vector<std::string>{"out.bmp"} : std::vector<std::string>{});
      if (exists) {
        EXPECT_EQ(readBytes(out), old);
      }
    }
  }
}

TEST(Faults, ASyncedSaveFlushesTheFileOnce) {
  TempDir dir;
  test::FaultyIo io;
  const test::ScopedFileIo scoped(io);
  Status status;
  EXPECT_TRUE(picture(1)->save(dir.file("out.bmp"), SaveOptions{.sync = true}, &status)) << to_string(status);
  EXPECT_EQ(io.syncs, 1);
}

// ---------------------------------------------------------------- the system's words

TEST(Errors, WindowsCodesAreWordedByTheSystemAndErrnoValuesByTheRuntime) {
  for (const int code : {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION}) {
    const std::string text = systemErrorText(-code);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_EQ(text.find("Windows error"), std::string::npos) << text;
  }
  EXPECT_EQ(systemErrorText(-12345678), "Windows error 12345678");
  EXPECT_EQ(systemErrorText(ENOENT), std::strerror(ENOENT));
  Status status;
  status.cause = Cause::writeFailed;
  status.systemError = -static_cast<int>(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(to_string(status), systemErrorText(status.systemError));
}

// ---------------------------------------------------------------- the program

TEST(Program, TakesItsArgumentsAsUtf16AndNamesFilesInUtf8) {
  TempDir dir;
  const std::string in = utf8((dir.path() / L"\u65e5\u672c \u00e9.bmp").wstring());
  const std::string out = utf8((dir.path() / L"\U0001F600.bmp").wstring());
  ASSERT_TRUE(picture(6)->save(in));
  test::RunResult r = test::runCli({"apply", in, out, "fun=1"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto written = Image::load(out);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->width(), 61);

  const std::string missing = utf8((dir.path() / L"\u043d\u0435\u0442.bmp").wstring());
  r = test::runCli({"info", missing});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "bmpfun: " + missing + ": cannot open the file: " + std::strerror(ENOENT) + "\n");
  // Standard output carries "\n" line ends, as everywhere.
  r = test::runCli({"info", in});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_NE(r.out.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace bmpfun
