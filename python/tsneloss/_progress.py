"""Progress bars on standard error (tqdm's), one per phase of a long computation."""

import sys
import time

# Work shorter than this shows no bar unless one is asked for.
_DELAY_SECONDS = 1.0


def _in_notebook():
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return shell is not None and "IPKernelApp" in getattr(shell, "config", {})


def _stderr_is_terminal():
    isatty = getattr(sys.stderr, "isatty", None)
    return isatty is not None and isatty()


class _PhaseBars:
    """Called with a phase's label and the share of it done: a bar per phase, drawn
    full when the next begins or `finish` is called; work that stops short leaves its
    bar as it was."""

    def __init__(self, tqdm, delay):
        self._tqdm = tqdm
        self._delay = delay
        self._start = time.monotonic()
        self._label = None
        self._bar = None

    def __call__(self, label, fraction):
        if label != self._label:
            self.finish()
            self._label = label
            # The delay counts from the start of the work, not of the phase.
            delay = max(0.0, self._delay - (time.monotonic() - self._start))
            self._bar = self._tqdm(total=1.0, desc=label, delay=delay, file=sys.stderr, leave=True,
                                   bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]")
        if fraction > self._bar.n:
            self._bar.update(fraction - self._bar.n)

    def finish(self):
        if self._bar is not None:
            self._bar.update(1.0 - self._bar.n)
            self.close()

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def phase_bars(progress):
    """The bars for `progress`: None shows them for long work when standard error is a
    terminal or a notebook, True always, False never (None is returned)."""
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {type(progress).__name__}")
    if progress is False or (progress is None and not (_stderr_is_terminal() or _in_notebook())):
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if progress:
            raise
        return None
    return _PhaseBars(tqdm, 0.0 if progress else _DELAY_SECONDS)


def with_bars(bars, compute):
    """compute(), with `bars` (or None) finished when it returns and closed as they
    stand when it raises."""
    try:
        result = compute()
    except BaseException:
        if bars is not None:
            bars.close()
        raise
    if bars is not None:
        bars.finish()
    return result
