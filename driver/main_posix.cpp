#include <csignal>

#include "driver/run_tool.h"

// Arguments stay the bytes the shell gave: a path reaches the file layer
// exactly as received, whatever its encoding.
int main(int argc, char** argv) {
  // A reader that goes away must not kill the tool mid-run: after a resize
  // that would report failure for a change that was made. Lost output is
  // dropped like any other failed write, and the exit status stays true.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  return RunTool(argc, argv);
}
