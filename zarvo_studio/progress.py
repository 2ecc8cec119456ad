"""Progress of the long steps (hashing, compressing, uploading) on standard error.

Bars come from tqdm (Debian's python3-tqdm): one small module with no dependencies of its own,
rate and time left built in, binary units, a lock around its counter (the steps count from
several threads), and it draws nothing when its stream is not a terminal, so logs and CI
output stay clean. rich draws finer bars but brings a console layer and its own dependencies
that the rest of the command does not use. Without tqdm, or off a terminal, nothing is drawn.
"""
import threading


class Progress:
    """A bar of total units on stream err; update(n) from any thread; close() at the end."""

    def __init__(self, total, what, err, unit="B"):
        self.bar = None
        self.lock = threading.Lock()
        try:
            interactive = err.isatty()
        except (AttributeError, ValueError):
            interactive = False
        if not interactive or total <= 0:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        binary = unit == "B"
        self.bar = tqdm(total=total, desc=what, unit=unit, unit_scale=binary,
                        unit_divisor=1024 if binary else 1000, file=err, leave=False,
                        dynamic_ncols=True, mininterval=0.25)

    def update(self, n):
        if self.bar is not None:
            with self.lock:
                self.bar.update(n)

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
