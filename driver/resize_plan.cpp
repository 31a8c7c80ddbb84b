#include "driver/resize_plan.h"

ResizePlan PlanForSize(std::int64_t size) {
  if (size == SIZE_77_CYLINDERS) {
    return {PlanAction::Grow, SIZE_80_CYLINDERS, MsgGrowNotice};
  }
  if (size == SIZE_78_CYLINDERS || size == SIZE_79_CYLINDERS ||
      size == SIZE_80_CYLINDERS) {
    return {PlanAction::Cut, SIZE_77_CYLINDERS, MsgCutNotice};
  }
  return {PlanAction::Refuse, 0, MsgUnsupported};
}
