#include "driver/resize_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

constexpr std::int64_t FOUR_GIB = std::int64_t{1} << 32;

TEST(PlanForSize, TogglesBetween77And80CylindersOnExactSizesOnly) {
  struct Case {
    std::int64_t size;
    PlanAction action;
    std::int64_t target;
    MessageId notice;
  };
  // Literal byte counts, so the constants are checked too.
  const Case cases[] = {
      {1261568, PlanAction::Grow, 1310720, MsgGrowNotice},
      {1277952, PlanAction::Cut, 1261568, MsgCutNotice},
      {1294336, PlanAction::Cut, 1261568, MsgCutNotice},
      {1310720, PlanAction::Cut, 1261568, MsgCutNotice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const ResizePlan plan = PlanForSize(c.size);
    EXPECT_EQ(plan.action, c.action);
    EXPECT_EQ(plan.target, c.target);
    EXPECT_EQ(plan.notice, c.notice);
  }
}

TEST(PlanForSize, RefusesEveryOtherSize) {
  const std::int64_t sizes[] = {
      0, 1, -1, -1310720, 76 * 16384, 81 * 16384,
      1261567, 1261569, 1277951, 1277953, 1294335, 1294337, 1310719, 1310721,
      // Sizes whose low 32 bits are a recognised size.
      FOUR_GIB + 1261568, FOUR_GIB + 1310720, -FOUR_GIB + 1310720,
      std::numeric_limits<std::int64_t>::max(),
      std::numeric_limits<std::int64_t>::min()};
  for (const std::int64_t size : sizes) {
    SCOPED_TRACE(size);
    const ResizePlan plan = PlanForSize(size);
    EXPECT_EQ(plan.action, PlanAction::Refuse);
    EXPECT_EQ(plan.notice, MsgUnsupported);
  }
}

}  // namespace
