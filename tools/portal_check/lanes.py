"""The node processes of the page runs, kept for the pages of one portal.

A page's two runs (page_run.py) go to a lane: a plain and a stripped
run_page.js, each in its box behind a proxy of its own. Starting node and
jsdom takes most of a run's processor time, so within kept(), a lane whose
page ran to its end takes the next page of the same origin, in a window of
its own: the pages of one portal, which IE11 also runs in one process. A
lane runs at most MOST_PAGES pages, at most AT_ONCE lanes wait between pages,
and a lane whose run was stopped, or ended on its own, is not kept. Outside
kept(), each lane runs one page."""
import contextlib
import subprocess
import threading
from urllib.parse import urlsplit

import node
from proxy import OriginProxy
from run_process import Run

# Pages a lane runs before a new one takes its place: a page's window is
# closed when its run ends, and what a page leaves behind in the process
# stays bounded with this.
MOST_PAGES = 8
# Lanes that wait for a page: as many as the pages checked at once.
AT_ONCE = 2


class Lane:
    """Both runs' processes, and their proxies, for pages of one origin."""

    def __init__(self, page, timeout):
        self.key = key_of(page, timeout)
        self.pages = 0
        self.proxies, self.runs = [], []
        try:
            for _ in range(2):
                self.proxies.append(OriginProxy(page.url, timeout, page.address))
                started = node.start("run_page.js", None, sandbox=(self.proxies[-1].folder,),
                                     timeout=timeout and timeout * MOST_PAGES)
                self.runs.append(Run(started[0]))
        except BaseException:
            self.close()
            raise
        self.runs[0].after = self.runs[1]

    def refused(self):
        """What either run's page asked of other origins since the last page."""
        return [address for proxy in self.proxies for address in proxy.taken()]

    def reusable(self):
        return self.pages < MOST_PAGES and all(run.over.is_set() and not run.ended
                                               for run in self.runs)

    def close(self):
        """Ends the processes, which end with their stdin between pages, and
        the proxies."""
        for run in self.runs:
            run.stdin.close()
        for run in self.runs:
            try:
                run.process.wait(2)
            except subprocess.TimeoutExpired:
                run.process.kill()
                run.process.wait()
            run.join()
        for proxy in self.proxies:
            proxy.close()


def key_of(page, timeout):
    return urlsplit(page.url)[:2], page.address, timeout


_lock = threading.Lock()
_waiting = None  # lanes between pages, while kept() holds; None outside it


@contextlib.contextmanager
def kept():
    """Lanes are kept for further pages while this holds, and ended after."""
    global _waiting
    with _lock:
        _waiting = []
    try:
        yield
    finally:
        with _lock:
            ended, _waiting = _waiting, None
        for lane in ended:
            lane.close()


def take(page, timeout):
    """A lane for the page: one waiting for its origin, or a new one."""
    with _lock:
        for lane in _waiting or ():
            if lane.key == key_of(page, timeout):
                _waiting.remove(lane)
                lane.pages += 1
                return lane
    lane = Lane(page, timeout)
    lane.pages = 1
    return lane


def give_back(lane):
    """A lane whose page is done: kept for the next page, or ended."""
    with _lock:
        if _waiting is not None and lane.reusable() and len(_waiting) < AT_ONCE:
            _waiting.append(lane)
            return
    lane.close()
