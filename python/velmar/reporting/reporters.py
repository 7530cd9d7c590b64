"""How the commands report a recording as it goes: a progress bar on a
terminal; elsewhere (a journal, a log file) a line per outage and per event;
and what joins several of them into the one progress callback and the one
observer a recording takes."""

from __future__ import annotations

import sys


def say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


class ProgressBar:
    """A bar with frames, percent, rate and time left for a file of known
    length; a running count and the elapsed time for a live source, which
    says so while it reconnects."""

    def __init__(self):
        self.bar = None

    def __call__(self, progress):
        if self.bar is None:
            from tqdm import tqdm
            self.bar = tqdm(total=progress.frame_count, unit="frame", file=sys.stderr,
                            dynamic_ncols=True)
        self.bar.update(progress.frames_read - self.bar.n)
        if progress.reconnecting:
            self.bar.set_postfix_str(f"reconnecting (attempt {progress.reconnecting})")
        else:
            self.bar.set_postfix(kept=progress.frames_kept, refresh=False)

    def close(self):
        if self.bar is not None:
            self.bar.close()


class OutageLines:
    """Without a bar: a line when a live source gives no frames and when it is back."""

    def __init__(self, prefix: str = "velmar"):
        self.prefix = prefix
        self.away, self.outages = False, 0
        # Frames read when the outage was logged: it is back once more come,
        # as an outage still open at the end is logged too.
        self.logged_at: int | None = None

    def __call__(self, progress):
        if progress.reconnecting and not self.away:
            self.away = True
            say(f"{self.prefix}: no frames from the source; reconnecting")
        if progress.outages > self.outages:
            self.away, self.outages, self.logged_at = False, progress.outages, progress.frames_read
        elif self.logged_at is not None and progress.frames_read > self.logged_at:
            self.logged_at = None
            say(f"{self.prefix}: the source is back")

    def close(self):
        pass


class EventLines:
    """Without a bar: a line per event as it ends."""

    thumbnails = False  # a line needs no picture
    pictures = False  # nor any frame: a copy decodes none for it

    def __init__(self, prefix: str = "velmar"):
        self.prefix = prefix

    def frame(self, image) -> None:
        pass

    def event(self, event) -> None:
        say(f"{self.prefix}: event {event.event}: {event.start.isoformat(timespec='seconds')}, "
            f"{event.seconds:.1f} s, {event.frames} frames, in {event.video.name}")


def reporter_for(show_bar: bool, quiet: bool, prefix: str = "velmar"):
    """The bar on a terminal; elsewhere, unless quiet, a line per outage."""
    if show_bar:
        return ProgressBar()
    return None if quiet else OutageLines(prefix)


def joined(*observers):
    """One observer of those given: None for none."""
    chosen = [observer for observer in observers if observer is not None]
    if len(chosen) <= 1:
        return chosen[0] if chosen else None
    return Together(chosen)


class Together:
    """Several observers as one: each is shown every event, and every frame
    unless it wants no pictures."""

    def __init__(self, observers):
        self.observers = observers
        self.thumbnails = any(getattr(observer, "thumbnails", True) for observer in observers)
        self.shown = [observer for observer in observers if getattr(observer, "pictures", True)]
        self.pictures = bool(self.shown)

    def frame(self, image) -> None:
        for observer in self.shown:
            observer.frame(image)

    def event(self, event) -> None:
        for observer in self.observers:
            observer.event(event)


def joined_views(*views):
    """One view of a recording of those given (the live view's, the MQTT
    broker's): None for none."""
    chosen = [view for view in views if view is not None]
    if len(chosen) <= 1:
        return chosen[0] if chosen else None
    return Views(chosen)


class Views(Together):
    """Several views of a recording as one: each is also told its progress and its end."""

    def progress(self, progress) -> None:
        for view in self.observers:
            view.progress(progress)

    def close(self, last: dict) -> None:
        for view in self.observers:
            view.close(last)


def progress_to(*callbacks):
    """One progress callback that calls each of `callbacks` given; None for none."""
    chosen = [callback for callback in callbacks if callback is not None]
    if len(chosen) <= 1:
        return chosen[0] if chosen else None

    def each(progress):
        for callback in chosen:
            callback(progress)
    return each
