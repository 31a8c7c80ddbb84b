#pragma once
// Holding the image against other programs on Linux: the two things about
// its storage that decide how, the open that checks for writers and takes
// the locks, and the watch where the file's times cannot show every change.

#include <sys/stat.h>

#include <optional>

constexpr int NO_FILE = -1;

/// Whether others may change the file on machines this kernel does not
/// hear from (NFS, SMB), where a lease tells nothing: servers often grant
/// none to back it. Nothing measures this; only the file system's number
/// tells. Empty if that cannot be read.
[[nodiscard]] std::optional<bool> SharedOverNetwork(int fd);

/// Whether the change time `info` measured shows every change to come. A
/// clock that steps in milliseconds or more (whole seconds on FAT, exFAT
/// and ext4 with small inodes) may not move for a change right after the
/// measurement, and FAT's is no change time at all: such an image is watched.
[[nodiscard]] bool TimesShowEveryChange(const struct stat& info);

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
