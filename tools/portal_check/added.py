"""The scripts the page adds itself (added.js asks for them): each want
answered once for both runs, fetched by fetching.py under the same rules as
the page's own, given an index after those, and named with what added it."""
import json
import threading

from fetching import fetch_added
from lines import listing, said

# Scripts a page may add in a check: a tag manager and its tags, a bundle's
# chunks and widgets come to some tens; a page that adds more is looping, and
# each one is a fetch and a parse.
MAX_ADDED = 100
# Bytes of all the scripts a page adds: as much as one script of its own may
# have (web.MAX_BODY), so that the added ones take at most as long again.
MAX_ADDED_BYTES = 32 << 20
# Characters of an added inline script that added.js sends the check: a
# larger one is past the bound on bytes.
MOST_INLINE = 1 << 20
# What a want line must hold: page code can write on node's stdout too, and a
# line of its own is only ever a request for a script, bounded as the run's.
WANT_FIELDS = {
    "key": lambda value: isinstance(value, str) and len(value) <= 4096,
    "url": lambda value: value is None or isinstance(value, str),
    "text": lambda value: value is None or isinstance(value, str),
    "size": lambda value: value is None or isinstance(value, int) and not isinstance(value, bool),
    "by": lambda value: value is None or isinstance(value, int) and not isinstance(value, bool),
    "during": lambda value: value is None or (isinstance(value, dict) and
                                              isinstance(value.get("type"), str) and
                                              isinstance(value.get("selector"), str)),
    "loading": lambda value: isinstance(value, bool)}


def wanted(line):
    """The want in a line of a run's output, or None where it is no want of the run's form."""
    try:
        want = json.loads(line)
    except ValueError:
        return None
    if not isinstance(want, dict) or not all(valid(want.get(name))
                                             for name, valid in WANT_FIELDS.items()):
        return None
    want = {name: want.get(name) for name in WANT_FIELDS}
    if (want["url"] is None) == (want["text"] is None):
        return None
    return want


class Added:
    """What the page added in both runs, by address (or text, for an inline
    one): each fetched once, and the same index and text handed to each run
    that asks; those past the bounds are refused, and named in a WARN."""

    def __init__(self, page, first, timeout):
        self.page, self.first, self.timeout = page, first, timeout
        self.lock = threading.Lock()
        self.scripts = []  # [(want, text)], index first + position
        self.entries = {}  # url or ("inline", text) -> {"index", "text", "error", "waiting"}
        self.taken = 0  # wants taken up to the bound, fetched or not
        self.bytes = 0
        self.over = []  # names of those past the bounds
        self.failed = []  # (want, why it cannot be fetched)
        self.fetchers = []

    def want(self, line, run):
        """Answers a want line of one run, now or once its fetch is done."""
        want = wanted(line)
        if want is None:
            return
        key = want["url"] if want["url"] is not None else ("inline", want["text"])
        with self.lock:
            entry = self.entries.get(key)
            if entry is None:
                entry = self.entries[key] = {"index": None, "text": None, "error": None,
                                             "waiting": [], "want": want}
                if self.taken == MAX_ADDED:
                    self.refuse(entry, "past the check's bound of %d scripts" % MAX_ADDED)
                elif want["url"] is None:
                    self.taken += 1
                    self.take(entry, want["text"] or "", (want["size"] or 0) <= MOST_INLINE)
                else:
                    self.taken += 1
                    fetcher = threading.Thread(target=self.fetch, args=(entry,), daemon=True)
                    self.fetchers.append(fetcher)
                    fetcher.start()
            entry["waiting"].append((run, want["key"]))
            if entry["index"] is not None or entry["error"] is not None:
                self.answer(entry)

    def fetch(self, entry):
        text, problem = fetch_added(self.page, entry["want"]["url"], self.timeout)
        with self.lock:
            if problem:
                entry["error"] = problem
                self.failed.append((entry["want"], problem))
            else:
                self.take(entry, text, True)
            self.answer(entry)

    def take(self, entry, text, whole):
        """Gives a script its index, within the bound on bytes (the lock held);
        whole False for an inline one that added.js sent only the start of."""
        size = len(text.encode("utf-8", "surrogatepass"))
        if not whole or self.bytes + size > MAX_ADDED_BYTES:
            self.refuse(entry, "past the check's bound of %d MiB of added scripts"
                        % (MAX_ADDED_BYTES >> 20))
            return
        self.bytes += size
        entry["index"], entry["text"] = self.first + len(self.scripts), text
        self.scripts.append((entry["want"], text))

    def refuse(self, entry, why):
        entry["error"] = why
        self.over.append(entry["want"])

    def answer(self, entry):
        """Hands the entry to every run waiting for it (the lock held)."""
        for run, key in entry["waiting"]:
            if entry["index"] is None:
                line = {"event": "script", "key": key, "error": entry["error"]}
            else:
                line = {"event": "script", "key": key, "index": entry["index"],
                        "text": entry["text"]}
            run.hand(json.dumps(line).encode() + b"\n", self)
        entry["waiting"] = []

    def sources(self, sources):
        """The added scripts as sources, after the page's own: (address, text,
        1, 0, url), the address saying what added it and when."""
        with self.lock:
            scripts = list(self.scripts)
        added = []
        for want, text in scripts:
            context = self.context(want, sources + added)
            if want["url"] is not None:
                added.append((said("%s (%s)", want["url"], context), text, 1, 0, want["url"]))
            else:
                added.append((said("%s (inline script %s)", self.page.url, context), text, 1, 0,
                              None))
        return added

    def context(self, want, sources):
        """'added by ADDRESS WHEN' for a want, the address a script's own."""
        by = want["by"]
        if by is not None and 0 <= by < len(sources):
            adder = sources[by][4] or said("%s (inline script)", self.page.url)
        else:
            adder = self.page.url
        if want["during"]:
            when = said("on %s of %s", want["during"]["type"], want["during"]["selector"])
        else:
            when = "as the page loads" if want["loading"] else "after the page loaded"
        return said("added by %s %s", adder, when)

    def lines(self, sources):
        """A FAIL line for each added script that cannot be fetched, and a
        WARN for those past the bounds."""
        with self.lock:
            failed, over = list(self.failed), list(self.over)
        lines = [("FAIL", said("%s (%s)", problem, self.context(want, sources)))
                 for want, problem in failed]
        if over:
            names = [want["url"] if want["url"] is not None else
                     said("an inline script %s", self.context(want, sources)) for want in over]
            lines.append(("WARN", said(
                "the page added more scripts than the check takes (%d, or %d MiB in all): "
                "these were neither run nor judged, and what ran before them is: %s",
                MAX_ADDED, MAX_ADDED_BYTES >> 20, listing(names, "added scripts not judged"))))
        return lines
