"""Which of the stylesheets' rules match an element of the page after its
load and its events: asked of the page's plain run (the one without
stripping) as it ends. The stylesheets check asks once it has judged the
sheets; the scripts check starts the run and hands over its answer. Each
waits for the other through this one object, made per check."""
import json
import threading

# Selectors asked of a run, and characters of each: those past either count
# as matching an element, as does every one the run does not answer for.
MAX_SELECTORS = 3000
MAX_LENGTH = 1000


class Matching:
    def __init__(self):
        self.lock = threading.Lock()
        self.run = self.page = None
        self.asked = None
        self.found = None
        self.started = threading.Event()
        self.answered = threading.Event()

    def start(self, run, page=None):
        """The scripts check's plain run, which waits at its end for the
        selectors, None where the page's code is not run; page what stands
        for the page's run in it (run_process.Run.hand())."""
        self.run, self.page = run, page
        self.started.set()

    def hand(self, selectors):
        """Hands the run the selectors (once; the later calls hand nothing):
        those asked, or None where no run waits for them."""
        self.started.wait()
        with self.lock:
            if self.asked is not None or self.run is None:
                return None
            self.asked = [text for text in selectors if len(text) <= MAX_LENGTH][:MAX_SELECTORS]
            self.run.hand(json.dumps({"event": "selectors", "list": self.asked}).encode() + b"\n",
                          self.page)
            return self.asked

    def matched(self, selectors):
        """{selector: whether it matches an element of the page} for those
        the run answered for, or None where the page's code was not run or
        the run did not answer."""
        asked = self.hand(selectors)
        if asked is None:
            return None
        self.answered.wait()
        if self.found is None or len(self.found) != len(asked):
            return None
        return dict(zip(asked, self.found))

    def answer(self, found):
        """What the run answered (a boolean for each selector asked), or None."""
        if not self.answered.is_set():
            self.found = found
        self.answered.set()

    def close(self):
        """The scripts check is done: no run comes or answers after this."""
        self.started.set()
        self.answer(None)
