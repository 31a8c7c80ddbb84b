#include "driver/run_tool.h"

// Arguments stay the bytes the shell gave: a path reaches the file layer
// exactly as received, whatever its encoding.
int main(int argc, char** argv) { return RunTool(argc, argv); }
