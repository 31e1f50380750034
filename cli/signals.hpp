// What the program does when it is told to stop (Ctrl-C, kill, a closed terminal).
#pragma once

namespace bmpfun::cli {

// SIGINT, SIGTERM and SIGHUP remove the temporary file of a save in progress (the output is
// replaced only by renaming a complete file over it, so the old output stays as it was) and
// then end the process by the same signal, so its parent sees how it ended. A signal the
// program was started with ignored (nohup) stays ignored.
void removeTemporaryFilesOnSignals();

}  // namespace bmpfun::cli
