"""Running the time axis in chunks, with a progress bar for long runs.

The library carries the whole simulation state in the caller's arrays
(fields and layer memories), so a run of nt steps can be split into calls of
fewer steps with identical results, provided every chunk starts on a
snapshot step: the library numbers the steps of each call from 0 and takes a
snapshot whenever that local step is a multiple of the interval, and the
material gradient gives the last snapshot slot of a call the steps left to
the end of that call. With chunk starts on multiples of the interval both
agree with one long call: only the final chunk can end in a partial slot.

The first chunk is short and timed; when the whole run is then estimated to
take longer than a few seconds, the rest runs in chunks of about half a
second with a bar on stderr, otherwise in one call (in both cases at most
`max_steps` a chunk, which bounds the chunk's copies of the stores).

Interrupts: a chunk is one call into the library, which keeps running with
the interpreter's lock released; a Ctrl-C that arrives meanwhile is only
acted on by Python once the call returns, in the middle of the chunk's
bookkeeping (traces and store slots not yet copied back). The loop therefore
holds SIGINT while it runs and acts on it at the next chunk boundary, where
every array reflects exactly the steps completed: with Python's default
handler it raises `Interrupted` (a KeyboardInterrupt) with the step count;
a handler installed by the caller is called there instead.
"""

import contextlib
import signal
import sys
import threading
import time

from .errors import Interrupted

FIRST_CHUNK_STEPS = 8
SHOW_AFTER_SECONDS = 3.0
CHUNK_SECONDS = 0.5


def _round_up(n, k):
    return -(-n // k) * k


class ProgressBar:
    """One line on a stream: bar, steps done, rate and estimated time left."""

    def __init__(self, label, total, stream=None, width=28):
        self.label, self.total, self.width = label, total, width
        self.stream = sys.stderr if stream is None else stream
        self.start = time.perf_counter()

    def update(self, done, elapsed=None):
        elapsed = time.perf_counter() - self.start if elapsed is None else elapsed
        rate = done / elapsed if elapsed > 0 else float("inf")
        left = (self.total - done) / rate if rate > 0 else float("inf")
        filled = int(self.width * done / max(self.total, 1))
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r{self.label} [{bar}] {done}/{self.total} steps "
                          f"{rate:7.1f} steps/s {left:6.1f} s left")
        self.stream.flush()

    def close(self):
        elapsed = time.perf_counter() - self.start
        self.stream.write(f"\r{self.label} done: {self.total} steps in {elapsed:.1f} s"
                          + " " * 30 + "\n")
        self.stream.flush()


@contextlib.contextmanager
def held_interrupts():
    """Hold SIGINT inside the block; yields (list of held signals, the handler
    to act on them). Outside the main thread, or when SIGINT is ignored or
    left to the system, nothing is held (the list stays empty)."""
    held = []
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)
    if not callable(previous):
        yield held, None
        return
    signal.signal(signal.SIGINT, lambda signum, frame: held.append((signum, frame)))
    try:
        yield held, previous
    finally:
        signal.signal(signal.SIGINT, previous)


def run_chunks(label, nt, interval, run_chunk, reverse=False, progress="auto",
               chunk_steps=None, stream=None, max_steps=None):
    """Call run_chunk(t0, t1) over [0, nt) in order (or in reverse order).

    progress: 'auto' (bar if the run looks longer than a few seconds), True
    (always a bar) or False (no bar, and one single call unless chunk_steps
    is given). chunk_steps forces a chunk length, rounded up to the interval;
    otherwise chunks are at most `max_steps` long (a multiple of the
    interval). A Ctrl-C raises Interrupted at the next chunk boundary.
    """
    pos = nt if reverse else 0
    done = 0
    if nt < 1:
        return
    bar = None

    def act_on(held, handler):
        while held:
            signum, frame = held.pop(0)
            if handler is signal.default_int_handler:
                if bar is not None:
                    bar.stream.write("\n")
                raise Interrupted(label, done, nt)
            handler(signum, frame)

    with held_interrupts() as (held, handler):

        def take(length, automatic=True):
            nonlocal pos, done
            length = _round_up(max(length, 1), interval)
            if automatic and max_steps is not None:
                length = min(length, max_steps)
            if reverse:
                t0 = max(0, (pos - length) // interval * interval)
                t1 = pos
                pos = t0
            else:
                t0, t1 = pos, min(nt, pos + length)
                pos = t1
            run_chunk(t0, t1)
            done += t1 - t0
            act_on(held, handler)  # the boundary: every array reflects `done` steps

        if chunk_steps is None and progress is False:
            take(nt, automatic=False)
        else:
            bar = ProgressBar(label, nt, stream) if progress is True else None
            if chunk_steps is not None:
                length = chunk_steps
            else:
                start = time.perf_counter()
                take(min(nt, FIRST_CHUNK_STEPS))
                per_step = (time.perf_counter() - start) / done
                if bar is None and per_step * nt > SHOW_AFTER_SECONDS and progress == "auto":
                    bar = ProgressBar(label, nt, stream)
                    bar.start = start
                length = nt if bar is None else int(CHUNK_SECONDS / max(per_step, 1e-9))
            while done < nt:
                if bar is not None:
                    bar.update(done)
                take(length, automatic=chunk_steps is None)
            if bar is not None:
                bar.close()
    # A signal that came after the last boundary, before the handler was put back.
    act_on(held, handler)
