#include "driver/run_tool.h"

// The C runtime must not expand wildcards: an argument such as x*.img is one
// path, passed on exactly as typed.
extern "C" {
int _dowildcard = 0;  // NOLINT(bugprone-reserved-identifier): the runtime's name
}

// Wide arguments, so every Windows path reaches the file layer unaltered.
int wmain(int argc, wchar_t** argv) { return RunTool(argc, argv); }
