// The test helpers that use POSIX calls: folders, child processes, users.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace bmpfun::test {

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

}  // namespace bmpfun::test
