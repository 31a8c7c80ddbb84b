#pragma once

#include <cstdint>

#include "console/messages.h"

/// One cylinder of a raw 1.25MB image; the file is cylinders and nothing else.
constexpr std::int64_t CYLINDER_BYTES = 16384;
constexpr std::int64_t SIZE_77_CYLINDERS = 77 * CYLINDER_BYTES;
constexpr std::int64_t SIZE_78_CYLINDERS = 78 * CYLINDER_BYTES;
constexpr std::int64_t SIZE_79_CYLINDERS = 79 * CYLINDER_BYTES;
constexpr std::int64_t SIZE_80_CYLINDERS = 80 * CYLINDER_BYTES;

enum class PlanAction { Grow, Cut, Refuse };

/// What to do with an image of a given size.
struct ResizePlan {
  PlanAction action;
  std::int64_t target;  ///< Size afterwards; meaningless for Refuse.
  MessageId notice;     ///< Said before the prompt, or the refusal.
};

/// The size rules: 77 cylinders grow to 80; 78, 79 and 80 are cut to 77;
/// any other size is refused. Exact byte counts only.
ResizePlan PlanForSize(std::int64_t size);
