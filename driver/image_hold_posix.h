#pragma once
// Holding the image against other programs on Linux: the open that checks
// for writers and takes the locks, what its storage says about who else
// stamps its times, and the watch where those times cannot show every
// change.

#include <sys/stat.h>

#include <cstdint>
#include <optional>

constexpr int NO_FILE = -1;

/// Opens the regular file that `found` holds, as `info` measured it, for
/// reading and writing, and locks it; or NO_FILE when someone else is
/// writing or locking it, nobody may write it, or its storage cannot be told.
[[nodiscard]] int OpenHeld(int found, const char* path, const struct stat& info);

/// Whether another machine stamps the times of the file `fd` holds, which
/// `info` measured, and may change it unseen by this kernel: an NFS or SMB
/// server, or over 9p a virtual machine's host (QEMU's shared folders, the
/// Windows drives of WSL 2). It may read the mount table: ask only where
/// the answer decides something.
[[nodiscard]] bool StampedElsewhere(int fd, const struct stat& info);

/// An inotify descriptor watching the file `found` holds for writes,
/// attribute changes, renames and removal; or NO_FILE.
[[nodiscard]] int WatchChanges(int found, const char* path, const struct stat& info);

/// Whether `watch` has seen nothing since it was set.
[[nodiscard]] bool NothingSeen(int watch);
