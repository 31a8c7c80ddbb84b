#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "driver/run_tool.h"

namespace {

// A standard stream that was closed gets /dev/null (or, where there is none,
// a path-only descriptor that reads and writes nothing), so that no file the
// tool opens takes its number: the messages must never go into the image,
// nor the answer come from it.
void FillClosedStandardStreams() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (fcntl(stream, F_GETFD) != -1) {
      continue;
    }
    int filler = open("/dev/null", O_RDWR);
    if (filler < 0) {
      filler = open("/", O_PATH);
    }
    // Opens take the lowest free number: this one, unless that failed too.
    if (filler > STDERR_FILENO) {
      static_cast<void>(close(filler));
    }
  }
}

}  // namespace

// Arguments stay the bytes the shell gave: a path reaches the file layer
// exactly as received, whatever its encoding.
int main(int argc, char** argv) {
  FillClosedStandardStreams();
  // A reader that goes away must not kill the tool mid-run: after a resize
  // that would report failure for a change that was made. Lost output is
  // dropped like any other failed write, and the exit status stays true.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  return RunTool(argc, argv);
}
