#include "signals.hpp"

#include "bmp/file_output.hpp"

#include <signal.h>

namespace bmpfun::cli {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onStopSignal(int signal) {
  bmpfun::detail::removeTemporaryFiles();
  // The handler was reset to the default on entry (SA_RESETHAND) and the signal is blocked
  // while it runs: raised again, it ends the process as soon as the handler returns.
  raise(signal);
}

}  // namespace

void removeTemporaryFilesOnSignals() {
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

}  // namespace bmpfun::cli
