// The bmpfun program stopped by SIGINT, SIGTERM and SIGHUP at many moments of a real write
// of several megabytes over an existing output: the moment is found by watching the folder
// for the temporary file to appear, then waiting a delay from a table. Each time no
// temporary file is left, and the output is the old one byte for byte or (stopped after the
// rename) the complete new one.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

namespace bmpfun {
namespace {

using test::readBytes;

// Waits (up to a minute) until a file whose name starts with prefix is created in the folder
// an inotify descriptor watches.
bool waitForCreation(int watch, const char* prefix) {
  alignas(inotify_event) char buffer[4096];
  for (int second = 0; second < 60;) {
    pollfd p{watch, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) {
      ++second;
      continue;
    }
    const ssize_t n = read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::strncmp(event->name, prefix, std::strlen(prefix)) == 0) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return false;
}

TEST(Interrupt, StoppedCommandLineKeepsTheOldOutputOrWritesTheNewOneWhole) {
  test::TempDir inputs, folder;
  const std::string input = inputs.file("in.bmp"), old = inputs.file("old.bmp"), out = folder.file("out.bmp");
  ASSERT_TRUE(test::makeTestImage(2000, 1500, 3)->save(input));  // a 9 MB write, 35 write calls
  ASSERT_TRUE(test::makeTestImage(64, 48, 4)->save(old));
  const std::vector<uint8_t> oldBytes = readBytes(old);
  // The codec's save and the image's save, in turn.
  const auto command = [&](int which, const std::string& output) {
    return which == 0 ? std::vector<std::string>{"convert", input, output}
                      : std::vector<std::string>{"apply", input, output, "brightness=1"};
  };
  std::vector<uint8_t> newBytes[2];
  for (int which : {0, 1}) {
    ASSERT_EQ(test::runCli(command(which, inputs.file("new.bmp"))).exitCode, 0);
    newBytes[which] = readBytes(inputs.file("new.bmp"));
  }

  // Microseconds after the temporary file appeared; -1: at once after the start, before any
  // output exists. The longest outlast the write (about 6 ms), so the stop comes after the
  // rename or after the end.
  const int delays[] = {-1, 0, 0, 50, 100, 200, 400, 700, 1000, 1500, 2000, 3000, 5000, 8000, 13000, 20000, 40000};
  int keptOld = 0, stoppedAfterRename = 0, finished = 0, run = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (int delay : delays) {
      const int which = run++ % 2;
      SCOPED_TRACE(std::string(strsignal(signal)) + " " + command(which, "")[0] + " after " + std::to_string(delay) + " us");
      std::filesystem::copy_file(old, out, std::filesystem::copy_options::overwrite_existing);
      const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
      ASSERT_GE(watch, 0);
      ASSERT_GE(inotify_add_watch(watch, folder.path().c_str(), IN_CREATE), 0);
      const pid_t pid = test::startCli(command(which, out));
      ASSERT_GT(pid, 0);
      if (delay >= 0) {
        EXPECT_TRUE(waitForCreation(watch, ".bmpfun-"));
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
      }
      kill(pid, signal);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      close(watch);

      EXPECT_EQ(test::listDir(folder.path()), std::vector<std::string>{"out.bmp"});
      const std::vector<uint8_t> now = readBytes(out);
      const bool isOld = now == oldBytes, isNew = now == newBytes[which];
      EXPECT_TRUE(isOld || isNew) << now.size() << " bytes";
      if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), signal);
        keptOld += isOld;
        stoppedAfterRename += isNew;
      } else {  // the signal came after the program had ended
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && isNew);
        ++finished;
      }
    }
  }
  std::printf("stopped with the old output kept: %d, stopped after the rename: %d, finished first: %d\n",
              keptOld, stoppedAfterRename, finished);
  EXPECT_GT(keptOld, 3);  // more than the stops before any output: the table reaches the write
}

}  // namespace
}  // namespace bmpfun
