#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <csignal>

#include "driver/run_tool.h"

namespace {

// A standard stream that was closed gets /dev/null (or, where there is none,
// a path-only descriptor that reads and writes nothing), so that no file the
// tool opens takes its number: the messages must never go into the image,
// nor the answer come from it. One poll tells which are closed; where it
// cannot (a descriptor limit below three), the image is refused at its open.
void FillClosedStandardStreams() {
  std::array<pollfd, 3> streams{
      {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}}};
  if (poll(streams.data(), streams.size(), 0) < 0) {
    return;
  }
  for (const pollfd& stream : streams) {
    if ((stream.revents & POLLNVAL) == 0) {
      continue;
    }
    int filler = open("/dev/null", O_RDWR);
    if (filler < 0) {
      filler = open("/", O_PATH);
    }
    // Opens take the lowest free number: this one, unless that failed too.
    if (filler > stream.fd) {
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
