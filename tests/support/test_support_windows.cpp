// The test helpers that use Windows calls: folders and the program run as a child process.
#include "support/test_support.hpp"

#include <bmpfun/paths.hpp>

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <stdexcept>

namespace bmpfun::test {

namespace {

std::wstring wide(const std::string& path) {
  std::u16string units;
  EXPECT_TRUE(utf16FromPath(path, units)) << path;
  return std::wstring(units.begin(), units.end());
}

// One argument as the C runtime's command-line parser reads it back: quoted when it holds a
// blank or a quote (or is empty), a quote escaped with a backslash, and backslashes doubled
// where they come before a quote.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

std::string readWhole(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

HANDLE inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition, 0, nullptr);
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = std::wstring(folder) + L"bmpfun-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    if (CreateDirectoryW(name.c_str(), nullptr)) {
      path_ = name;
      return;
    }
  }
  throw std::runtime_error("CreateDirectoryW failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files would stop the removal.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec)) {
    SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path_, ec);
}

RunResult runCli(const std::vector<std::string>& args) {
  RunResult r;
  TempDir dir;
  const std::wstring outPath = (dir.path() / "stdout").wstring(), errPath = (dir.path() / "stderr").wstring();
  const std::wstring program = wide(cliPath().string());
  std::wstring line = quoted(program);
  for (const std::string& arg : args) line += L" " + quoted(wide(arg));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  startup.hStdOutput = inheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  startup.hStdError = inheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &process);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(h);
  if (!started) {
    ADD_FAILURE() << "cannot start " << cliPath() << ": error " << GetLastError();
    return r;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  r.exitCode = static_cast<int>(code);
  r.out = readWhole(outPath);
  r.err = readWhole(errPath);
  return r;
}

}  // namespace bmpfun::test
