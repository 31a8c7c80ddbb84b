"""File systems made full, for the end-to-end cases and the share scenarios."""
import os


def fill(folder):
    """Takes every block left on the file system at `folder` with one file,
    grown in halving steps; returns its path."""
    path = os.path.join(folder, b"filler" if isinstance(folder, bytes) else "filler")
    info = os.statvfs(folder)
    step, end = info.f_bavail * info.f_frsize, 0
    with open(path, "wb") as filler:
        while step >= 512:
            try:
                os.posix_fallocate(filler.fileno(), end, step)
                end += step
            except OSError:
                step //= 2
    return path
