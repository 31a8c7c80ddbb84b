#pragma once
// Holding the image against other programs on Linux: what kind of storage
// it is on, the open that checks for writers and takes the locks, and the
// watch where the file system's times cannot show every change.

#include <sys/stat.h>

#include <optional>

constexpr int NO_FILE = -1;

/// `fd`, or a copy above standard error when it took the number of a closed
/// standard stream: the tool's messages must never go into the image.
[[nodiscard]] int KeepOffStandardStreams(int fd);

/// Where the image is, as far as holding and growing it differ.
enum class Storage {
  LOCAL,         ///< a disk whose change time moves on every change
  NFS,           ///< leases tell nothing; cannot reserve space
  SMB,           ///< leases tell nothing; says it reserves space and does not
  COARSE_TIMES,  ///< FAT, exFAT, FUSE: times in steps, or no change time at all
};

/// The storage the file `fd` (a path-only descriptor will do) is on.
[[nodiscard]] std::optional<Storage> StorageOf(int fd);

/// Opens the regular file that `found` holds, as `info` measured it, for
/// reading and writing, and locks it; or NO_FILE when someone else is
/// writing or locking it, or nobody may write it.
[[nodiscard]] int OpenHeld(int found, const char* path, const struct stat& info,
                           Storage storage);

/// An inotify descriptor watching the file `found` holds for writes,
/// attribute changes, renames and removal; or NO_FILE.
[[nodiscard]] int WatchChanges(int found, const char* path, const struct stat& info);

/// Whether `watch` has seen nothing since it was set.
[[nodiscard]] bool NothingSeen(int watch);
