// Run a command and print what it cost: wall time, user and system CPU time (microseconds)
// and peak resident memory (KiB, the kernel's ru_maxrss, the figure `/usr/bin/time -f %M`
// prints). compare.sh uses it because CPU time to the microsecond stays meaningful on a
// machine that other work is sharing, where wall time does not.
//   runstat STATS-FILE COMMAND [ARGS...]
// The command's exit status is passed on; STATS-FILE gets "wall_us user_us sys_us maxrss_kib".
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

long long micros(const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; }

long long nowMicros() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: runstat STATS-FILE COMMAND [ARGS...]\n");
    return 2;
  }
  const long long start = nowMicros();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("runstat: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror("runstat: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("runstat: wait4");
    return 2;
  }
  const long long wall = nowMicros() - start;
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror("runstat: stats file");
    return 2;
  }
  std::fprintf(out, "%lld %lld %lld %ld\n", wall, micros(usage.ru_utime), micros(usage.ru_stime),
               usage.ru_maxrss);
  std::fclose(out);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
