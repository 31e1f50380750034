// The stop signals of a program that saves files: the temporary file of a save in progress is
// removed, then the process ends by the same signal.
#include <bmpfun/bmp.hpp>

#include <signal.h>

namespace bmpfun {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A C function, as the system calls it; static, so the library defines no C name.
extern "C" {
static void onStopSignal(int signal) {
  removeTemporaryFiles();
  // The handler was reset to the default on entry (SA_RESETHAND) and the signal is blocked
  // while it runs: raised again, it ends the process as soon as the handler returns.
  raise(signal);
}
}

}  // namespace

void removeTemporaryFilesOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  action.sa_flags = static_cast<int>(SA_RESETHAND);  // the bit is the sign bit
  // A second stop signal waits until the first one's removal is done.
  sigemptyset(&action.sa_mask);
  for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kStopSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace bmpfun
