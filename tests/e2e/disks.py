"""File systems made full, for the end-to-end cases and the share scenarios."""
import os
import time


def fill(folder, settle=0.0):
    """Takes every block left on the file system at `folder` with one file,
    grown in halving steps; returns its path. With `settle`, waits that
    many seconds and takes what was given back meanwhile too (a file server
    keeps the files it served open for a while after they are removed)."""
    path = os.path.join(folder, b"filler" if isinstance(folder, bytes) else "filler")
    end = 0
    with open(path, "wb") as filler:
        for wait in (0.0, settle) if settle else (0.0,):
            time.sleep(wait)
            info = os.statvfs(folder)
            step = info.f_bavail * info.f_frsize
            while step >= 512:
                try:
                    os.posix_fallocate(filler.fileno(), end, step)
                    end += step
                except OSError:
                    step //= 2
    return path
