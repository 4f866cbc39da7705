"""Helpers shared by the Python parts of the benchmarks."""
import itertools
import os

_spent = itertools.count(1)


def fresh_dir(path, aside):
    """An empty directory at path for an extraction to go into.

    The one before is moved into `aside`, not deleted: ext4 does not hand
    out an inode freed in the last half minute, and finds out by reading the
    inode table, so a run that follows the deletion of a tree of many files
    pays for that scan on every file it creates (a quarter of x's time here,
    by perf, and as much for tar). That would measure the benchmark's own
    churn, not the program.
    """
    if os.path.exists(path):
        os.rename(path, os.path.join(aside, "spent.%d" % next(_spent)))
    os.makedirs(path)
    return path
