"""The page run of the scripts check: the start page loaded in jsdom twice
(run_page.js), once as jsdom has it and once with what IE11 lacks taken out,
and what the difference says about each script."""
import io
import json
import queue
import re
import subprocess
import threading
import time
from urllib.parse import urlsplit

import box
import node
from added import Added
from lines import joined, listing, said, shortened
from page import in_page
from proxy import OriginProxy

# Seconds after the load event that timers still count for.
SETTLE = 1.0
NO_SANDBOX = ("the page's code was not run, and the scripts are judged by their syntax alone: "
              "its sandbox cannot be made, as %s")


# The share of the time limit that firing the page's events may take: 1.5 s
# at the default limit. A whole template's handlers take some 40 ms an event
# (jQuery's delegation matches each one's selectors up the tree), and what is
# left past this is mostly the same delegated handler at more elements of
# the same kind, which its own line names.
EVENTS_SHARE = 0.1
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
WANT = b'{"event":"want"'
# What the plain run's end tells the other when it wrote no plan: fire nothing.
NO_PLAN = b'{"event":"plan","fire":null}\n'


class Flooded(node.NodeError):
    """A run stopped for writing more than OUTPUT_LIMIT on one stream."""

    def __init__(self, stream, output):
        super().__init__("the page's run wrote more than %d MiB on its %s; what ran before is "
                         "judged" % (OUTPUT_LIMIT >> 20, stream), output)


class Run:
    """One node run of the page, its output collected by threads as it comes,
    up to OUTPUT_LIMIT on each stream. The plain run plans the page's events;
    each planned line, and the plan line that ends them, is handed to the
    other run as it comes, which fires them (and fires nothing when the plain
    run ends without a plan). Each run's stdin stays open for the answers to
    the scripts its page adds (added.py)."""

    def __init__(self, started, added=None):
        self.process, self.payload = started
        self.out, self.errors = bytearray(), bytearray()
        self.flooded = None  # the stream that went past the limit
        self.after = None  # the run the plan goes to
        self.added = added
        self.handed = queue.Queue()  # what goes on the run's stdin, in order; None ends it
        self.readers = [threading.Thread(target=self.read, daemon=True),
                        threading.Thread(target=self.read_errors, daemon=True)]
        self.writer = threading.Thread(target=self.write, daemon=True)

    def begin(self):
        for thread in self.readers + [self.writer]:
            thread.start()
        self.hand(self.payload + b"\n")

    def read(self):
        handed = wanted = 0  # where the next plan or want line may start; handed None past the plan
        while self.take(self.process.stdout, self.out, "standard output"):
            if self.after and handed is not None:
                handed = self.lines(PLAN, handed, self.hand_plan)
            if self.added:
                wanted = self.lines(WANT, wanted, lambda line: self.added.want(line, self))
        if self.after and handed is not None:
            self.after.hand(NO_PLAN)

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

    def lines(self, prefix, start, then):
        """Calls then with each whole line from start on that begins with
        prefix; where the next one may start, or None once then has said
        that no more are wanted."""
        while True:
            found = self.out.find(prefix, start)
            if found < 0:
                return max(start, len(self.out) - len(prefix))
            end = self.out.find(b"\n", found)
            if end < 0:
                return found
            if found == 0 or self.out[found - 1] == ord("\n"):
                if then(bytes(self.out[found:end + 1])):
                    return None
            start = end + 1

    def hand_plan(self, line):
        """Hands a planned or plan line to the other run; True once the plan
        that ends them has come."""
        self.after.hand(line)
        return line.startswith(PLAN_END)

    def hand(self, line):
        """Hands a line to the run's stdin, from whichever thread, without
        waiting for it to be written."""
        self.handed.put(line)

    def close(self):
        self.handed.put(None)

    def write(self):
        """Writes what is handed to the run on its stdin, in order. On a
        thread of its own: node reads its stdin only once it has started, and
        the payload (the page and its scripts) fills the pipe long before
        that, which would hold up the other run's start and the reader that
        hands this run the plan."""
        while True:
            line = self.handed.get()
            if line is None:
                break
            try:
                self.process.stdin.write(line)
                self.process.stdin.flush()
            except (OSError, ValueError):
                break  # it ended already; finish() says why
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
        self.close()

    def output(self):
        return self.out.decode("utf-8", "replace")


class Runs(list):
    """Both runs of the page, and the proxies that are their one way to the
    portal: one for each, so that the idle connections one run holds push
    out none of the other's; and the scripts the page added."""
    proxies = ()
    added = None


def start_runs(page, sources, timeout):
    """Starts both runs of the page: (the runs, None), or ([], why not) when
    the sandbox that the page's code runs in cannot be made. Each source is
    (address, text, line, column, url), url None when inline."""
    if not sources:
        return [], None
    try:
        node.check_sandbox()
    except box.SandboxError as error:
        return [], NO_SANDBOX % error
    runs = Runs()
    runs.proxies = []
    runs.added = Added(page, len(sources), timeout)
    try:
        payload = {"url": page.url, "html": page.text(), "host": urlsplit(page.url).netloc,
                   "settle": SETTLE, "budget": timeout * EVENTS_SHARE,
                   "wait": timeout * WAIT_SHARE,
                   "scripts": [{"url": url, "text": text, "line": line, "column": column}
                               for _, text, line, column, url in sources]}
        for strip in (False, True):
            runs.proxies.append(OriginProxy(page.url, timeout, page.address))
            proxy = runs.proxies[-1]
            # The run without what IE11 lacks is told what that is, as the
            # check keeps it, rather than read it from bcd itself.
            told = dict(payload, strip=strip, proxy=proxy.path,
                        **({"lacked": node.kept_lacks()} if strip else {}))
            runs.append(Run(node.start("run_page.js", told, sandbox=(proxy.folder,),
                                       timeout=timeout), runs.added))
    except (node.NodeError, box.SandboxError, OSError) as error:
        for run in runs:
            run.process.kill()
            run.process.wait()
        for proxy in runs.proxies:
            proxy.close()
        return [], "the page's code was not run: %s" % error
    runs[0].after = runs[1]
    runs[1].begin()
    runs[0].begin()
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


def _counts(value):
    return isinstance(value, dict) and all(isinstance(key, str) and _index(count)
                                           for key, count in value.items())


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
          "defined": {"script": _index, "names": _strings},
          "blocked": {"url": lambda value: isinstance(value, str)},
          "missing": {"names": _strings}, "kept": {"names": _strings},
          "planned": {"target": _target, "type": lambda value: isinstance(value, str),
                      "selector": lambda value: isinstance(value, str)},
          "plan": {"fire": _fired, "unfired": _index, "left": _strings, "kinds": _counts,
                   "elements": _index},
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


def finish_runs(started, sources, references, timeout, page_url, examine):
    """Waits for both runs; (verdict lines, what the page brought, requests
    not made, the plan of the page's events, what the line says of requests
    left unanswered or None, the scripts the page added with what examine()
    found of each), with a line of its own when a run could not be
    completed. sources and references hold the page's own scripts."""
    outputs, stopped = [], None
    deadline = time.monotonic() + timeout
    for run in started:
        try:
            outputs.append(run.finish(max(deadline - time.monotonic(), 0.1)))
        except node.NodeError as error:
            outputs.append(error.output)
            stopped = stopped or (error, len(outputs) - 1)
    refused = [address for proxy in getattr(started, "proxies", ()) for address in proxy.close()]
    if len(outputs) < 2:
        return [], [], [], None, None, []
    added = started.added.sources(sources)
    found = examine(added) if added else []
    sources = sources + added
    references = list(references) + [result["references"] for result in found]
    outputs = [events(output, len(sources)) for output in outputs]
    if stopped:
        stopped = (stopped[0], outputs[stopped[1]])
    addresses = [source[0] for source in sources]
    lines = started.added.lines(sources) + failures(outputs[0], outputs[1], sources, page_url) + \
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
    return (lines, brought, blocked, plans[0] if plans else None, unanswered(outputs),
            list(zip(added, found)))


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


def fired_said(plan):
    """How many of the page's events were fired, for the PASS line (None
    when none were)."""
    if not plan["fire"]:
        return None
    return "%d event%s fired at the page's handlers" % (
        len(plan["fire"]), "" if len(plan["fire"]) == 1 else "s")


def unfired_said(plan):
    """The note on the events the budgets left unfired, by type, and the
    elements they were for (the run names the first few); None when none
    were left."""
    if not plan["unfired"]:
        return None
    kinds = sorted(plan["kinds"].items(), key=lambda kind: (-kind[1], kind[0]))
    return said("%d event%s left unfired by the budget (%s), at %d element%s: %s",
                plan["unfired"], "" if plan["unfired"] == 1 else "s",
                listing(["%d %s" % (count, kind) for kind, count in kinds],
                        "events left unfired, by type"),
                plan["elements"], "" if plan["elements"] == 1 else "s",
                listing(plan["left"], "elements of the events left unfired",
                        count=plan["elements"]))


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


def during_all(raised):
    """Which events' handlers raised one exception alike, as the line says:
    "on click of a#more, a.next and on change of select", in the order
    first raised."""
    by_type = {}
    for e in raised:
        by_type.setdefault(e["during"]["type"], {})[e["during"]["selector"]] = None
    return joined([said("on %s of %s", kind, listing(list(selectors), "elements"))
                   for kind, selectors in by_type.items()], " and ")


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
    failed, seen, reported = {}, set(), []
    for e in raised(stripped):
        if key(e) in seen or (same(e) in both and not e["lacks"]):
            continue
        seen.add(key(e))
        reported.append(e)
    definers = {}
    for e in plain:
        if e["event"] == "defined":
            for name in e["names"]:
                definers.setdefault(name, e["script"])
    # What handlers raise alike (one delegated handler, many elements) is
    # one fault, said once with the events.
    alike = {}
    for e in reported:
        if e.get("during"):
            alike.setdefault(same(e), []).append(e)
    for e in reported:
        events = alike.get(same(e)) if e.get("during") else None
        if events and events[0] is not e:
            continue
        first = failed_first(e, reported, definers)
        why = (said("IE11 lacks %s", listing(e["lacks"], "what IE11 lacks", separator=" or ",
                                             more=" or %d more")) if e["lacks"] else
               said("follows from %s, which failed first", sources[first][0])
               if first is not None else "raised only without what IE11 lacks")
        script = e["script"]
        where = place(sources[script], e) if script is not None else ""
        failed.setdefault((script, during_all(events) if events else ""), []).append(
            said("%s%s (%s)", where, one_line(e["message"]), why))
    lines = []
    for (script, event), exceptions in sorted(failed.items(),
                                              key=lambda item: (item[0][0] is None, item[0])):
        address = sources[script][0] if script is not None else page_url
        lines.append(("FAIL", said("%s: %s, %s", address, event or "as the page loads",
                                   listing(exceptions, "exceptions", separator="; "))))
    return lines


# What a script raises for want of what an earlier one was to define: a
# global that is not there, a member it was to add ($(...).modal), a value
# that stayed undefined; and the global it names first, if any.
WANTING = re.compile(r"is not (defined|a function|a constructor)|of (undefined|null)\b|"
                     r"^(undefined|null) is not")
ROOT = re.compile(r"^(?:\w*Error: )?([\w$]+)[.(\s]")


def failed_first(e, reported, definers):
    """The script whose failure at the load an exception follows from, or
    None: one that names nothing IE11 lacks, but something that is not
    there, raised where an earlier script (in page order; for an event, any
    other) failed as the page loaded without what IE11 lacks. That is the
    script that defined, in the run with everything, the global the message
    names; failing that, the nearest failed before it, as a library's
    dependants and plugins come after it, unless a handler's own script
    failed at the load. definers: {global: script}."""
    if e["lacks"] or not WANTING.search(e["message"]):
        return None
    failed_loads = {f["script"] for f in reported if not f.get("during")}
    loads = sorted(index for index in failed_loads - {e["script"]} if index is not None)
    before = [index for index in loads if e["script"] is None or index < e["script"]]
    possible = loads if e.get("during") else before
    root = ROOT.match(e["message"])
    if root and definers.get(root.group(1)) in possible:
        return definers[root.group(1)]
    if e.get("during") and e["script"] in failed_loads:
        return None  # its own script's load failed: that is the likelier cause
    return (before or possible or [None])[-1]


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
