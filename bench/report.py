"""benchmarks.md and benchmarks.png from the figures of bench/run_all.py's sections: tables,
ratios, targets with their verdicts, the machine's state, and a chart of a panel per figure."""

from __future__ import annotations

import math
import statistics
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

MB = 1024 * 1024
Run = Dict[str, Any]
Metric = Callable[[Run], float]
Column = Tuple[str, Callable[[List[Run]], str]]


def cpu_ms(run: Run) -> float:
    return 1000 * run["cpu"] / run["frames"]


def wall_ms(run: Run) -> float:
    return 1000 * run["wall"] / run["frames"]


def fps(run: Run) -> float:
    return run["frames"] / run["wall"]


def steady(key: str) -> Metric:
    """Milliseconds of `key` (cpu, wall) a frame after the first (the open left out)."""
    return lambda r: 1000 * (r[key] - r["first"][key]) / (r["frames"] - 1) if r.get("first") else math.nan


def steady_fps(run: Run) -> float:
    return 1000 / steady("wall")(run)


def values(runs: Sequence[Run], metric: Metric) -> List[float]:
    found = [metric(run) for run in runs if run["frames"]]
    return [v for v in found if v == v]  # NaN: a figure the row does not have


def med(numbers: Sequence[float]) -> Optional[float]:
    return statistics.median(numbers) if numbers else None


def median(runs: Sequence[Run], metric: Metric) -> Optional[float]:
    return med(values(runs, metric))


def fmt(numbers: Sequence[float], digits: int = 2) -> str:
    if not numbers:
        return "n/a"
    return f"{statistics.median(numbers):.{digits}f} ({min(numbers):.{digits}f}–{max(numbers):.{digits}f})"


def ratio(a: Optional[float], b: Optional[float]) -> str:
    return f"{a / b:.2f}x" if a is not None and b else "n/a"


# Columns of a table of rows (name -> runs): a header, and what to write for a row's runs.
def col(header: str, metric: Metric, digits: int = 2) -> Column:
    return header, lambda runs: fmt(values(runs, metric), digits)


def vs(header: str, metric: Metric, base: Sequence[Run]) -> Column:
    return header, lambda runs: ratio(median(runs, metric), median(base, metric))


PEAK: Column = ("peak RSS MB", lambda runs: f"{max([r['max_rss'] for r in runs] or [math.nan]) / MB:.0f}")
LOAD: Column = ("load", lambda rs: "–".join(f"{f([r['load'] for r in rs] or [0]):.1f}" for f in (min, max)))


class Report:
    """The body of the page (numbered sections), the targets and the panels of the chart."""

    def __init__(self) -> None:
        self.body: List[str] = []
        self.targets: List[Sequence[str]] = []
        self.panels: List[Callable[[Any], None]] = []

    def section(self, title: str, *paragraphs: str) -> None:
        self.body += [f"## {sum(line.startswith('## ') for line in self.body) + 1}. {title}", ""]
        self.text(*paragraphs)

    def text(self, *paragraphs: str) -> None:
        self.body += [line for paragraph in paragraphs for line in (paragraph, "")]

    def grid(self, header: Sequence[str], lines: Sequence[Sequence[str]]) -> None:
        self.body += [f"| {' | '.join(header)} |", "|" + "---|" * len(header)]
        self.body += [f"| {' | '.join(line)} |" for line in lines] + [""]

    def table(self, rows: Dict[str, List[Run]], columns: Sequence[Column], first: str = "contender") -> None:
        lines = [[name, *(c[1](runs) for c in columns)] for name, runs in rows.items() if runs]
        self.grid([first, *(c[0] for c in columns)], lines)

    def target(self, what: str, baseline: str, value: Optional[float], limit: float = math.nan,
               at_least: bool = False, figure: str = "", ok: Optional[bool] = None) -> str:  # fmt: skip
        """Adds a target, met when `ok`, or when `value` is within `limit` (a ratio unless
        `figure` says otherwise); returns its verdict."""
        if ok is None and value is not None and limit == limit:
            ok = value >= limit if at_least else value <= limit
        verdict = "n/a" if ok is None else "**met**" if ok else "**missed**"
        self.targets.append((what, baseline, figure or ratio(value, 1), verdict))
        return verdict

    def compare(self, what: str, limit: float, baseline: str, ours: List[Run], theirs: List[Run],
                metric: Metric, at_least: bool = False) -> str:  # fmt: skip
        """A target on the ratio of the medians of `metric`, ours to theirs ({} in `what`: the limit)."""
        a, b = median(ours, metric), median(theirs, metric)
        return self.target(what.format(limit), baseline, a and b and a / b, limit, at_least)

    def write(self, results: Dict[str, Any], out: Path) -> None:
        before, after = results["states"][0], results["states"][-1]

        def busy(state: Dict[str, Any]) -> str:
            found = [f"`{p['command'][:60]}` {100 * p['cpu']:.0f} % of a core" for p in state["busy"]]
            return f"({state['time']}): " + ("; ".join(found) or "none above 2 % of a core") + "."

        quick = "**Quick run** (smoke test: short clips, one repeat; not for conclusions). "
        load = [" / ".join(f"{x:.2f}" for x in state["load"]) for state in (before, after)]
        head = f"""# Benchmarks

vantle side by side with the limits of the stack and with its peers (OpenCV, PyAV), on one machine, \
in one run. Every figure is also given as a ratio to its baseline.

Produced by:

```
{results["command"]}
```

{quick * results["quick"]}Each row was run {results["repeats"]} times, every run a fresh process, the \
rows of a section taking turns in a rotating order. Figures are median (min–max) over the runs. The \
whole run took {results["seconds"] / 60:.1f} minutes.

## Targets

| target | baseline | figure | |
|---|---|---|---|
""" + "".join(f"| {' | '.join(t)} |\n" for t in self.targets) + f"""
## Machine and load

- CPU: {results["cpu"]}, {results["cores"]} cores (shared with other workers: see the load).
- Load average (1, 5, 15 min) before: {load[0]}; after: {load[1]}.
- Busiest other processes before {busy(before)}
- Busiest other processes after {busy(after)}
- Load average (1 min) at the start of each row's runs is given with each table.
- Versions: {", ".join(f"{k} {v}" for k, v in results["versions"].items())}.
"""  # fmt: skip
        lines = [head + "".join(f"- {line}\n" for line in results["about"]), *self.body]
        for title, items in (("Not run", results["notes"]), ("Failures", results["failures"])):
            lines += [f"## {title}", "", *[f"- {item}" for item in items], ""] if items else []
        out.mkdir(parents=True, exist_ok=True)
        (out / "benchmarks.md").write_text("\n".join(lines))
        self.chart(out / "benchmarks.png", results["quick"])

    def chart(self, path: Path, quick: bool) -> None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        rows = max(1, math.ceil(len(self.panels) / 2))
        fig, axes = plt.subplots(rows, 2, figsize=(15, 4.5 * rows), squeeze=False)
        fig.suptitle("vantle benchmarks" + " (quick run)" * quick + ": medians of the runs")
        for ax, panel in zip(axes.flat, self.panels):
            panel(ax)
        for ax in list(axes.flat)[len(self.panels) :]:
            ax.axis("off")
        fig.tight_layout(rect=(0, 0, 1, 0.98))
        fig.savefig(path, dpi=90)
        plt.close(fig)


def bars(rows: Dict[str, List[Run]], metric: Metric, label: str, title: str) -> Callable[[Any], None]:
    """A panel: a bar a row (vantle's highlighted) from min to max of its runs, at their median."""

    def draw(ax: Any) -> None:
        found = {name: values(runs, metric) for name, runs in rows.items() if values(runs, metric)}
        middle = [statistics.median(v) for v in found.values()]
        spread = [[m - min(v), max(v) - m] for m, v in zip(middle, found.values())]
        colours = ["tab:orange" if "vantle" in name else "tab:blue" for name in found]
        ax.barh(list(found), middle, xerr=list(zip(*spread)) or None, color=colours, capsize=3)
        ax.invert_yaxis()
        ax.set(xlabel=label, title=title)
        for y, m in enumerate(middle):
            ax.text(m, y, f" {m:.1f}", va="center", fontsize=8)

    return draw


def curves(series: Dict[str, Tuple[Sequence[float], Sequence[float]]], xlabel: str, ylabel: str, title: str,
           log_x: bool = False) -> Callable[[Any], None]:  # fmt: skip
    """A panel: a line a series (name -> (x, y))."""

    def draw(ax: Any) -> None:
        for name, (x, y) in series.items():
            ax.plot(x, y, "o-" if log_x else "-", label=name, linewidth=2.5 if "vantle" in name else 1.5)
        if log_x:
            ax.set_xscale("log", base=2)
        ax.set(xlabel=xlabel, ylabel=ylabel, title=title)
        ax.legend(fontsize=8)

    return draw
