#include "driver/run_tool.h"

#include <cstdint>
#include <optional>
#include <span>

#include "console/dialogue.h"
#include "driver/image_file.h"
#include "driver/resize_plan.h"

// Every return below leaves `image`'s scope after the last message is said,
// so the image is released exactly once, last, on every path.
int RunTool(int argc, const NativeChar* const* argv) {
  const std::span<const NativeChar* const> args(argv,
                                                static_cast<std::size_t>(argc));
  InitConsoleLocale();
  Say(MsgBanner);
  if (args.size() != 2) {
    Say(MsgUsage);
    return 1;
  }

  std::optional<ImageFile> image = ImageFile::Open(args[1]);
  if (!image) {
    Say(MsgOpenFailed);
    return 1;
  }

  // The size is read once: the lock keeps other writers out until we are done.
  const std::optional<std::int64_t> size = image->QuerySize();
  if (!size) {
    Say(MsgSizeFailed);
    return 1;
  }

  const ResizePlan plan = PlanForSize(*size);
  if (plan.action == PlanAction::Refuse) {
    Say(plan.notice);
    return 0;
  }

  Say(plan.notice);
  if (!AskConfirmation()) {
    Say(MsgAborted);
    return 0;
  }

  if (!image->SeekFromBegin(plan.target)) {
    Say(MsgSeekFailed);
    return 1;
  }
  // Done means on the device: until the flush, the new end may still be
  // only in memory, and a failed flush may have lost it.
  if (!image->SetEndHere() || !image->FlushToDevice()) {
    Say(MsgResizeFailed);
    return 1;
  }
  Say(MsgCompleted);
  return 0;
}
