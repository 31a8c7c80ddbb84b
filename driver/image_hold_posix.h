#pragma once
// Holding the image against other programs on Linux: the two things about
// its storage that decide how, the open that checks for writers and takes
// the locks, and the watch where the file's times cannot show every change.

#include <sys/stat.h>

#include <cstdint>
#include <optional>

constexpr int NO_FILE = -1;

/// Whether others may change the file on machines this kernel does not
/// hear from (NFS, SMB), where a lease tells nothing: servers often grant
/// none to back it. Nothing measures this; only the file system's number
/// tells. Empty if that cannot be read.
[[nodiscard]] std::optional<bool> SharedOverNetwork(int fd);

/// Whether the clock that stamped the change time `info` measured is coarse:
/// one that leaves no digits below the millisecond steps in whole seconds
/// (FAT, exFAT, ext4 with small inodes), and FAT's is no change time at all.
/// A change in the same step as the measurement would not show: such an image
/// is watched.
[[nodiscard]] bool ClockIsCoarse(const struct stat& info);

/// How much older than this machine's coarse clock the change time `info`
/// measured must be, in nanoseconds, for every later change to be stamped
/// with another time: the step of the clock that stamped it, which moves
/// once per tick here, or a server's, which cannot be read and is bounded
/// from above.
[[nodiscard]] std::int64_t ClockStep(const struct stat& info, bool shared_over_network);

/// This machine's coarse clock, which stamps file times here. Read it just
/// before a measurement.
[[nodiscard]] struct timespec CoarseNow();

/// Waits, where the change time `changed` is less than `step` nanoseconds
/// older than the coarse clock read `before` the measurement, until it is:
/// from then on every change is stamped with a later time, so the
/// measurement shows it.
void OutwaitClockStep(const struct timespec& changed, std::int64_t step,
                      const struct timespec& before);

/// Opens the regular file that `found` holds, as `info` measured it, for
/// reading and writing, and locks it; or NO_FILE when someone else is
/// writing or locking it, or nobody may write it.
[[nodiscard]] int OpenHeld(int found, const char* path, const struct stat& info,
                           bool shared_over_network);

/// An inotify descriptor watching the file `found` holds for writes,
/// attribute changes, renames and removal; or NO_FILE.
[[nodiscard]] int WatchChanges(int found, const char* path, const struct stat& info);

/// Whether `watch` has seen nothing since it was set.
[[nodiscard]] bool NothingSeen(int watch);
