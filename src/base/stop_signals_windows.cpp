// The stop events of a console program on Windows (Ctrl-C, Ctrl-Break, the console window
// closed, the user logging off, the system shutting down): the temporary file of a save in
// progress is removed, then the system's own handler ends the process as for any console
// program (exit status STATUS_CONTROL_C_EXIT for Ctrl-C and Ctrl-Break).
#include <bmpfun/bmp.hpp>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace bmpfun {
namespace {

// Runs on a thread the system starts for the event, while the program's own threads go on.
BOOL WINAPI onConsoleStop(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      removeTemporaryFiles();
      break;
    default:
      break;
  }
  return FALSE;  // not handled: the next handler, the system's, ends the process
}

}  // namespace

// A process started with Ctrl-C ignored (a child of a program that ignores it) gets no
// Ctrl-C event at all, so it stays ignored.
void removeTemporaryFilesOnStopSignals() { SetConsoleCtrlHandler(onConsoleStop, TRUE); }

}  // namespace bmpfun
