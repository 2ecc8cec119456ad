"""The bench's table: one line per scenario with the launcher, its floor and the native tool,
the two ratios and the target, then the throughput of each."""
from dataclasses import dataclass


@dataclass
class Row:
    title: str
    count: int = None      # files, None where it does not apply (start-up)
    total: int = None      # bytes
    launcher: float = None  # seconds; None when not measured
    launcher_how: str = ""
    floor: float = None
    floor_how: str = ""
    native: float = None
    native_how: str = ""
    target: tuple = None   # ("floor" or "native", the highest ratio launcher / that)
    unit: str = "s"

    def ratio(self, which):
        other = getattr(self, which)
        return self.launcher / other if self.launcher and other else None


def _time(row, seconds):
    if seconds is None:
        return "-"
    return f"{seconds * 1000:.0f} ms" if row.unit == "ms" else f"{seconds:.2f} s"


def _ratio(value):
    return "-" if value is None else f"{value:.2f}"


def _target(row, judged):
    if not row.target:
        return "-", ""
    which, limit = row.target
    text = f"/{which} <= {limit:.2f}"
    value = row.ratio(which)
    if not judged or value is None:
        return text, ""
    return text, "met" if value <= limit else "MISSED"


def render(rows, judged):
    """The table's lines. judged: say whether each target is met (not at smoke sizes)."""
    width = max(len(r.title) for r in rows) + 2
    head = (f"{'':{width}}{'launcher':>10}{'floor':>10}{'native':>10}"
            f"{'l/floor':>9}{'l/native':>9}   target")
    lines = [head, "-" * (len(head) + 16)]
    for r in rows:
        target, verdict = _target(r, judged)
        lines.append(f"{r.title:{width}}{_time(r, r.launcher):>10}{_time(r, r.floor):>10}"
                     f"{_time(r, r.native):>10}{_ratio(r.ratio('floor')):>9}"
                     f"{_ratio(r.ratio('native')):>9}   {target:16} {verdict}".rstrip())
    lines += ["", "l/floor: launcher / the floor, the same work by a minimal Windows program "
              "under the same Wine: what is ours.",
              "l/native: launcher / the Linux tool (md5sum, curl): adds what Wine and the "
              "Windows APIs cost.", ""]
    lines.append("Throughput")
    for r in rows:
        if r.count is None:
            continue
        lines.append(f"  {r.title}")
        for name, seconds, how in (("launcher", r.launcher, r.launcher_how),
                                   ("floor", r.floor, r.floor_how),
                                   ("native", r.native, r.native_how)):
            if seconds:
                lines.append(f"    {name:9}{how:40}{seconds:8.2f} s"
                             f"{r.total / 1e6 / seconds:9.1f} MB/s"
                             f"{r.count / seconds:9.0f} files/s")
    lines.append("")
    return lines
