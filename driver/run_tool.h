#pragma once

#include "driver/platform.h"

/// The whole run, from the banner to the exit status (0 done, declined or
/// refused; 1 usage error or failure). argv[1] is the image path.
int RunTool(int argc, const NativeChar* const* argv);
