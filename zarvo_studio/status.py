"""Exit statuses of every subcommand, one per cause, so a pipeline can tell them apart."""

OK = 0               # done
REFUSED = 1          # bad input or a problem found; nothing was written (check: problems found)
USAGE = 2            # the command line is wrong (argparse's own status)
NOTHING_TO_DO = 3    # everything was already in place; nothing was written
FAILED = 4           # failed before the release went live; players keep the previous one
LIVE_BUT_FAILED = 5  # the release is live, a later step (pruning) failed; run it again
MISSING = 6          # a Python module is missing; the message names its Debian package

TEXT = """\
exit status:
  0  done
  1  refused: bad input or a problem found, nothing was written
  2  usage: the command line is wrong
  3  nothing to do: everything was already in place
  4  failed before the release went live: players keep the previous one; run again
  5  the release is live, but a later step (pruning) failed; run again to finish it
  6  a Python module is missing (the message names the Debian package to install)"""


class Missing(Exception):
    """A module a subcommand needs cannot be imported."""

    def __init__(self, module, package, why):
        super().__init__(f"{why} needs the Python module {module}, which this Python "
                         f"cannot import: apt-get install {package} (Debian's packages import "
                         "under /usr/bin/python3; a virtual environment needs "
                         "--system-site-packages)")


def need(module, package, why):
    """Imports module or raises Missing naming the Debian package."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise Missing(module, package, why) from None
