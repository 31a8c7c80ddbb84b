#include "driver/run_tool.h"

// The C runtime must not expand wildcards: an argument such as x*.img is one
// path, passed on exactly as typed. The name is the runtime's own.
extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier,cppcoreguidelines-avoid-non-const-global-variables)
int _dowildcard = 0;
}

// Wide arguments, so every Windows path reaches the file layer unaltered.
int wmain(int argc, wchar_t** argv) { return RunTool(argc, argv); }
