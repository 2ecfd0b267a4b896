"""The page run of the scripts check: the start page loaded in jsdom twice
(run_page.js), once as jsdom has it and once with what IE11 lacks taken out,
and what the difference says about each script."""
import io
import json
import subprocess
import threading
import time
from urllib.parse import urlsplit

import node
from lines import joined, listing, said, shortened
from page import in_page
from proxy import OriginProxy

# Seconds after the load event that timers still count for.
SETTLE = 1.0
NO_SANDBOX = ("the page's code was not run, and the scripts are judged by their syntax alone: "
              "its sandbox cannot be made, as %s")


# The share of the time limit that firing the page's events may take.
EVENTS_SHARE = 0.2
# The share of the time limit that the run may wait for the page's requests
# to be answered, after the load and again after the events.
WAIT_SHARE = 0.25
# What the check reads of each stream of a run: a real run writes some tens of
# KiB of event lines, and page code may write without end on either.
OUTPUT_LIMIT = 4 << 20
CHUNK = 1 << 16
# Events judged of each run: a page that raises in a loop gives some
# hundreds, and what comes after the first of these says nothing new.
MAX_EVENTS = 10000
# The plain run's lines that the other run follows: each planned event, and
# the plan that ends them.
PLAN = b'{"event":"plan'
PLAN_END = b'{"event":"plan"'


class Flooded(node.NodeError):
    """A run stopped for writing more than OUTPUT_LIMIT on one stream."""

    def __init__(self, stream, output):
        super().__init__("the page's run wrote more than %d MiB on its %s; what ran before is "
                         "judged" % (OUTPUT_LIMIT >> 20, stream), output)


class Run:
    """One node run of the page, its output collected by threads as it comes,
    up to OUTPUT_LIMIT on each stream. The plain run plans the page's events;
    each planned line, and the plan line that ends them, is handed to the
    other run as it comes, which fires them with its stdin open; that closes
    when the plain run's output ends."""

    def __init__(self, started):
        self.process, self.payload = started
        self.out, self.errors = bytearray(), bytearray()
        self.flooded = None  # the stream that went past the limit
        self.after = None  # the run the plan goes to
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self.read, daemon=True),
                        threading.Thread(target=self.read_errors, daemon=True)]

    def begin(self, keep_open):
        for reader in self.readers:
            reader.start()
        try:
            self.process.stdin.write(self.payload + b"\n")
            self.process.stdin.flush()
        except OSError:
            pass  # it ended already; finish() says why
        if not keep_open:
            self.close()

    def read(self):
        handed = 0  # where the next plan line may start, None past the plan
        while self.take(self.process.stdout, self.out, "standard output"):
            if self.after and handed is not None:
                handed = self.hand_plans(handed)
        if self.after:
            self.after.close()

    def read_errors(self):
        while self.take(self.process.stderr, self.errors, "error output"):
            pass

    def take(self, stream, into, name):
        """Reads a chunk of stream into into; False at its end, or once the
        run has written past the limit on it, and then the run is stopped."""
        chunk = stream.read1(CHUNK)
        if not chunk:
            return False
        into += chunk[:OUTPUT_LIMIT - len(into)]
        if len(into) < OUTPUT_LIMIT:
            return True
        self.flooded = self.flooded or name
        self.process.kill()
        return False

    def hand_plans(self, start):
        """Hands each whole planned or plan line from start on to the other
        run; where the next one may start, or None once the plan has come."""
        while True:
            found = self.out.find(PLAN, start)
            if found < 0:
                return max(start, len(self.out) - len(PLAN))
            end = self.out.find(b"\n", found)
            if end < 0:
                return found
            if found == 0 or self.out[found - 1] == ord("\n"):
                self.after.write(bytes(self.out[found:end + 1]))
                if self.out.startswith(PLAN_END, found):
                    return None
            start = end + 1

    def write(self, line):
        """Writes a line on the run's stdin, if it is still open."""
        with self.lock:
            try:
                if not self.process.stdin.closed:
                    self.process.stdin.write(line)
                    self.process.stdin.flush()
            except OSError:
                pass

    def close(self):
        with self.lock:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def finish(self, timeout):
        """The run's output; node.NodeError as node.finish() raises it, or
        Flooded."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self.join()
            raise node.NodeError("stopped after %g s" % timeout, self.output(), True)
        self.join()
        if self.flooded:
            raise Flooded(self.flooded, self.output())
        if self.process.returncode != 0:
            raise node.failure(self.process, self.errors.decode("utf-8", "replace"),
                               self.output())
        return self.output()

    def join(self):
        for reader in self.readers:
            reader.join(5)

    def output(self):
        return self.out.decode("utf-8", "replace")


class Runs(list):
    """Both runs of the page, and the proxies that are their one way to the
    portal: one for each, so that the idle connections one run holds push
    out none of the other's."""
    proxies = ()


def start_runs(page, sources, timeout):
    """Starts both runs of the page: (the runs, None), or ([], why not) when
    the sandbox that the page's code runs in cannot be made. Each source is
    (address, text, line, column, url), url None when inline."""
    if not sources:
        return [], None
    try:
        node.check_sandbox()
    except node.SandboxError as error:
        return [], NO_SANDBOX % error
    runs = Runs()
    runs.proxies = []
    try:
        payload = {"url": page.url, "html": page.text(), "host": urlsplit(page.url).netloc,
                   "settle": SETTLE, "budget": timeout * EVENTS_SHARE,
                   "wait": timeout * WAIT_SHARE,
                   "scripts": [{"url": url, "text": text, "line": line, "column": column}
                               for _, text, line, column, url in sources]}
        for strip in (False, True):
            runs.proxies.append(OriginProxy(page.url, timeout))
            proxy = runs.proxies[-1]
            runs.append(Run(node.start("run_page.js", dict(payload, strip=strip, proxy=proxy.path),
                                       sandbox=(proxy.folder,), timeout=timeout)))
    except (node.NodeError, node.SandboxError, OSError) as error:
        for run in runs:
            run.process.kill()
            run.process.wait()
        for proxy in runs.proxies:
            proxy.close()
        return [], "the page's code was not run: %s" % error
    runs[0].after = runs[1]
    runs[1].begin(keep_open=True)
    runs[0].begin(keep_open=False)
    return runs, None


# What each field of a run's events must hold: page code can write on node's
# stdout too, and a line of its own is not taken for the run's.
def _index(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _strings(value):
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


def _place(value):
    return value is None or _index(value)


def _during(value):
    return value is None or (isinstance(value, dict) and isinstance(value.get("type"), str) and
                             isinstance(value.get("selector"), str))


def _target(value):
    return _index(value) or value in ("window", "document")


def _unanswered(value):
    return isinstance(value, list) and all(
        isinstance(entry, dict) and isinstance(entry.get("url"), str) and
        isinstance(entry.get("waited"), (int, float)) and _during(entry.get("during"))
        for entry in value)


def _fired(value):
    return isinstance(value, list) and all(
        isinstance(entry, dict) and isinstance(entry.get("type"), str) and
        isinstance(entry.get("selector"), str) and
        (_index(entry.get("target")) or isinstance(entry.get("target"), str)) for entry in value)


FIELDS = {"loaded": {"script": _index},
          "exception": {"script": _place, "line": _place, "column": _place,
                        "message": lambda value: isinstance(value, str), "lacks": _strings,
                        "during": _during},
          "provided": {"script": _index, "names": _strings},
          "blocked": {"url": lambda value: isinstance(value, str)},
          "missing": {"names": _strings}, "kept": {"names": _strings},
          "planned": {"target": _target, "type": lambda value: isinstance(value, str),
                      "selector": lambda value: isinstance(value, str)},
          "plan": {"fire": _fired, "unfired": _index, "left": _strings},
          "unanswered": {"requests": _unanswered},
          "fired": {"count": _index, "missed": _index}, "unplanned": {}, "done": {},
          "untrusted": {"reason": lambda value: isinstance(value, str)}}


def well_formed(event, count):
    """Whether an event is the run's own: every field of its kind as it must
    be, and a script one of the page's."""
    fields = FIELDS.get(event.get("event"))
    if fields is None or not all(valid(event.get(name)) for name, valid in fields.items()):
        return False
    return event.get("script") is None or 0 <= event["script"] < count


# What a run writes once: still taken past MAX_EVENTS (its done line comes last),
# and once only, whatever the page repeats.
ONCE = {"plan", "fired", "unplanned", "missing", "kept", "done", "unanswered"}


def events(output, count):
    """The run's own events in output: the first MAX_EVENTS of those it may
    write many of, each kind it writes once, and every request not made,
    once each: a dict takes some twenty times the bytes of a short line, and
    a page may write lines of the run's own form by the million, but the
    line counts the requests not made to the last."""
    found, taken, others = [], set(), 0
    # Lines as node ends them: JSON.stringify leaves U+2028 in a message as it is.
    for line in io.StringIO(output):
        try:
            event = json.loads(line)
        except ValueError:
            continue  # a line the page printed past the run's own
        if not isinstance(event, dict) or not well_formed(event, count):
            continue
        kind = event["event"]
        if kind in ONCE or kind == "blocked":
            key = (kind, event.get("url"))
            if key in taken:
                continue
            taken.add(key)
        elif others == MAX_EVENTS:
            continue
        else:
            others += 1
        found.append(event)
    return found


def finish_runs(started, sources, references, timeout, page_url):
    """Waits for both runs; (verdict lines, what the page brought, requests
    not made, the plan of the page's events, what the line says of requests
    left unanswered or None), with a line of its own when a run could not be
    completed."""
    outputs, stopped = [], None
    deadline = time.monotonic() + timeout
    for run in started:
        try:
            outputs.append(events(run.finish(max(deadline - time.monotonic(), 0.1)),
                                  len(sources)))
        except node.NodeError as error:
            outputs.append(events(error.output, len(sources)))
            stopped = stopped or (error, outputs[-1])
    refused = [address for proxy in getattr(started, "proxies", ()) for address in proxy.close()]
    if len(outputs) < 2:
        return [], [], [], None, None
    addresses = [source[0] for source in sources]
    lines = failures(outputs[0], outputs[1], sources, page_url) + \
        unreached(outputs[1], sources, references) + untrusted(outputs)
    if stopped:
        lines.append(("WARN", str(stopped[0]) if isinstance(stopped[0], Flooded) else
                      stopped_line(stopped[0], stopped[1], sources, timeout)))
    elif not all(any(e["event"] == "done" for e in run) for run in outputs):
        lines.append(("WARN", "the page's run ended early: its code ended node before the "
                              "run was done; what ran before is judged"))
    brought = [bringing(e["names"], addresses[e["script"]])
               for e in outputs[1] if e["event"] == "provided"]
    # What the page's own interfaces were kept from, and what code that reached
    # past them asked the proxy for.
    blocked = sorted({e["url"] for run in outputs for e in run if e["event"] == "blocked"} |
                     set(refused))
    plans = [e for e in outputs[0] if e["event"] == "plan"]
    return lines, brought, blocked, plans[0] if plans else None, unanswered(outputs)


def unanswered(outputs):
    """What the line says of the page's requests that either run still
    waited for at its end (None when there were none): not a WARN, as a long
    poll never answers, but what its answer would have run is not judged."""
    waited = {}
    for run in outputs:
        for e in run:
            for request in e["requests"] if e["event"] == "unanswered" else ():
                made = during(request) or "as the page loads"
                key = (request["url"], made)
                waited[key] = max(waited.get(key, 0), request["waited"])
    if not waited:
        return None
    return said("not answered when the run ended, so what the page does with the answer is not "
                "judged: %s", listing([said("%s (asked %s; waited %.1f s)", url, made, seconds)
                                       for (url, made), seconds in sorted(waited.items())],
                                      "requests left unanswered"))


def untrusted(outputs):
    """A WARN line when the portal's certificate failed in the runs: the
    authorities they trust are the check's own, and the page's requests to
    the portal went unanswered."""
    reasons = sorted({e["reason"] for run in outputs for e in run if e["event"] == "untrusted"})
    if not reasons:
        return []
    return [("WARN", "the portal's certificate is not trusted in the page's run (%s): the "
                     "page's requests to the portal failed, and what its code does with their "
                     "answers is not judged" % one_line("; ".join(reasons)))]


def bringing(names, address):
    """What one script brings, as the line names it."""
    return said("%s from %s", listing(names, said("what %s brings", address)), address)


def fired_said(plan, count):
    """What the page's events came to, for the line (None when nothing is to
    be said): how many were fired if count, and what the budgets left."""
    parts = []
    if count and plan["fire"]:
        parts.append("%d event%s fired at the page's handlers" % (
            len(plan["fire"]), "" if len(plan["fire"]) == 1 else "s"))
    if plan["unfired"]:
        # The run names only the first few of those it left.
        parts.append(said("%d event%s left unfired by the budget (%s)", plan["unfired"],
                          "" if plan["unfired"] == 1 else "s",
                          listing(plan["left"], "events left unfired", count=plan["unfired"])))
    return joined(parts, ", ") or None


def stopped_line(error, output, sources, timeout):
    if not error.stopped:
        # node's reason may end with a line that the page's code wrote on stderr.
        return said("the page's run ended early: %s; what ran before is judged", str(error))
    loaded = {e["script"] for e in output if e["event"] == "loaded"}
    running = [address for index, (address, *_) in enumerate(sources) if index not in loaded]
    return said("the page's scripts were stopped after %g s, %s; what ran before is judged",
                timeout, said("in %s", running[0]) if running else "after the page loaded")


def place(source, where):
    """'at L:C, ' in the page's or the script's lines, or nothing where only
    the script is known."""
    if where.get("line") is None:
        return ""
    return "at %d:%d, " % in_page(where, source[2], source[3])


def one_line(message):
    """A message as one line of the verdict: Babel's run over two, and a
    thrown string can be any length."""
    return shortened(" ".join(message.split()))


def during(e):
    """Which event's handlers raised it, as the line says, or None for the load."""
    if not e.get("during"):
        return None
    return said("on %s of %s", e["during"]["type"], e["during"]["selector"])


def failures(plain, stripped, sources, page_url):
    """A FAIL line for each script that raised, as the page loaded or as its
    events were fired without what IE11 lacks, an exception that the run
    with it did not raise, or one whose message names something IE11 lacks
    (the plain run knows no names: what raises there for want of one raises
    here as well). An exception that no script holds is the page's."""
    def raised(run):
        return [e for e in run if e["event"] == "exception"]
    key = lambda e: (e["script"], e["line"], e["column"], e["message"], during(e))
    # Raised in both runs, it is jsdom's, whatever event each run was in.
    same = lambda e: key(e)[:4]
    both = {same(e) for e in raised(plain)}
    failed, seen = {}, set()
    for e in raised(stripped):
        if key(e) in seen or (same(e) in both and not e["lacks"]):
            continue
        seen.add(key(e))
        why = (said("IE11 lacks %s", listing(e["lacks"], "what IE11 lacks", separator=" or ",
                                             more=" or %d more"))
               if e["lacks"] else "raised only without what IE11 lacks")
        script = e["script"]
        where = place(sources[script], e) if script is not None else ""
        failed.setdefault((script, during(e) or ""), []).append(
            said("%s%s (%s)", where, one_line(e["message"]), why))
    lines = []
    for (script, event), exceptions in sorted(failed.items(),
                                              key=lambda item: (item[0][0] is None, item[0])):
        address = sources[script][0] if script is not None else page_url
        lines.append(("FAIL", said("%s: %s, %s", address, event or "as the page loads",
                                   listing(exceptions, "exceptions", separator="; "))))
    return lines


def unreached(stripped, sources, references):
    """A WARN line for each script that uses, where neither the load nor the
    events fired reached, a global or static member that IE11 lacks and
    nothing on the page brings, where IE11 would throw (references: what
    syntax.js found each script to use and test for, None where it does not
    parse). What a polyfill carries for other browsers sits behind its own
    feature detection, which syntax.js leaves out; a script is not let off
    for having brought something (flatpickr brings Object.assign, and its
    range mode calls Array.from unguarded)."""
    missing = {name for e in stripped if e["event"] == "missing" for name in e["names"]}
    failed = {}
    for e in stripped:
        if e["event"] == "exception":
            failed.setdefault(e["script"], set()).update(e["lacks"])
    lines = []
    for index, found in enumerate(references):
        if not found:
            continue
        tested = set(found["tested"]) | failed.get(index, set())
        names = sorted(([name, count, {"line": line, "column": column}]
                        for name, count, line, column in found["used"]
                        if name in missing and name not in tested),
                       key=lambda n: (n[2]["line"], n[2]["column"]))
        if names:
            lines.append(("WARN", said(
                "%s: uses what IE11 lacks, untested, where neither the load nor the events fired "
                "reached: %s", sources[index][0], listing(
                    ["%s (%d, %sat %d:%d)" % ((name, count, "first " if count > 1 else "")
                                              + in_page(where, *sources[index][2:4]))
                     for name, count, where in names], "uses of what IE11 lacks, untested"))))
    return lines
