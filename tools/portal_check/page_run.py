"""The page run of the scripts check: the start page loaded in jsdom twice
(run_page.js), once as jsdom has it and once with what IE11 lacks taken out,
and what the difference says about each script."""
import json
import time
from urllib.parse import urlsplit

import node
from page import in_page
from proxy import OriginProxy

# Seconds after the load event that timers still count for.
SETTLE = 1.0
NO_SANDBOX = ("the page's code was not run: the sandbox it runs in cannot be made here (%s); "
              "install bubblewrap and python3-seccomp, and in a container allow user namespaces "
              "(Docker: --security-opt seccomp=unconfined --security-opt apparmor=unconfined); "
              "the scripts are judged by their syntax alone")


class Runs(list):
    """Both runs of the page, and the proxy that is their one way to the portal."""
    proxy = None


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
    try:
        runs.proxy = OriginProxy(page.url, timeout)
        payload = {"url": page.url, "html": page.text(), "host": urlsplit(page.url).netloc,
                   "settle": SETTLE, "proxy": runs.proxy.path,
                   "scripts": [{"url": url, "text": text, "line": line, "column": column}
                               for _, text, line, column, url in sources]}
        for strip in (False, True):
            runs.append(node.start("run_page.js", dict(payload, strip=strip),
                                   sandbox=(runs.proxy.folder,)))
        return runs, None
    except (node.NodeError, node.SandboxError, OSError) as error:
        for process, _ in runs:
            process.kill()
            process.wait()
        if runs.proxy:
            runs.proxy.close()
        return [], "the page's code was not run: %s" % error


# What each event of a run must hold: page code can write on node's stdout
# too, and a line of its own is not taken for the run's.
FIELDS = {"loaded": {"script": int},
          "exception": {"script": int, "line": int, "column": int, "message": str, "lacks": list},
          "provided": {"script": int, "names": list}, "blocked": {"url": str},
          "missing": {"names": list}, "kept": {"names": list}, "done": {}}


def events(output, count):
    found = []
    for line in output.splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            continue  # a line the page printed past the run's own
        fields = FIELDS.get(event.get("event")) if isinstance(event, dict) else None
        if fields is None or not all(
                isinstance(event.get(name), kind) and
                (kind is not list or all(isinstance(item, str) for item in event[name]))
                for name, kind in fields.items()):
            continue
        if "script" in fields and not 0 <= event["script"] < count:
            continue
        found.append(event)
    return found


def finish_runs(started, sources, references, timeout):
    """Waits for both runs; (verdict lines, what the page brought, requests
    not made), with a line of its own when a run could not be completed."""
    outputs, stopped = [], None
    deadline = time.monotonic() + timeout
    for run in started:
        try:
            outputs.append(events(node.finish(run, max(deadline - time.monotonic(), 0.1)),
                                  len(sources)))
        except node.NodeError as error:
            outputs.append(events(error.output, len(sources)))
            stopped = stopped or (error, outputs[-1])
    refused = started.proxy.close() if getattr(started, "proxy", None) else []
    if len(outputs) < 2:
        return [], [], []
    lines = failures(outputs[0], outputs[1], sources) + \
        unreached(outputs[1], sources, references)
    if stopped:
        lines.append(("WARN", stopped_line(stopped[0], stopped[1], sources, timeout)))
    elif not all(any(e["event"] == "done" for e in run) for run in outputs):
        lines.append(("WARN", "the page's run ended early: its code ended node before the "
                              "run was done; what ran before is judged"))
    brought = ["%s from %s" % (", ".join(e["names"]), sources[e["script"]][0])
               for e in outputs[1] if e["event"] == "provided"]
    # What the page's own interfaces were kept from, and what code that reached
    # past them asked the proxy for.
    blocked = sorted({e["url"] for run in outputs for e in run if e["event"] == "blocked"} |
                     set(refused))
    return lines, brought, blocked


def stopped_line(error, output, sources, timeout):
    if not error.stopped:
        return "the page's run ended early: %s; what ran before is judged" % error
    loaded = {e["script"] for e in output if e["event"] == "loaded"}
    running = [address for index, (address, *_) in enumerate(sources) if index not in loaded]
    return "the page's scripts were stopped after %g s, %s; what ran before is judged" % (
        timeout, "in %s" % running[0] if running else "after the page loaded")


def place(source, where):
    return "%d:%d" % in_page(where, source[2], source[3])


def failures(plain, stripped, sources):
    """A FAIL line for each script that raised, as the page loaded without
    what IE11 lacks, an exception that the run with it did not raise, or one
    whose message names something IE11 lacks (the plain run knows no names:
    what raises there for want of one raises here as well)."""
    def raised(run):
        return [e for e in run if e["event"] == "exception"]
    key = lambda e: (e["script"], e["line"], e["column"], e["message"])
    both = {key(e) for e in raised(plain)}
    failed, seen = {}, set()
    for e in raised(stripped):
        if key(e) in seen or (key(e) in both and not e["lacks"]):
            continue
        seen.add(key(e))
        why = ("IE11 lacks %s" % " or ".join(e["lacks"]) if e["lacks"] else
               "raised only without what IE11 lacks")
        failed.setdefault(e["script"], []).append(
            "at %s, %s (%s)" % (place(sources[e["script"]], e), e["message"], why))
    return [("FAIL", "%s: as the page loads, %s" % (sources[index][0], "; ".join(said)))
            for index, said in sorted(failed.items())]


def unreached(stripped, sources, references):
    """A WARN line for each script that uses, where the load did not reach,
    a global or static member that IE11 lacks and nothing on the page brings,
    without testing for it first (references: what syntax.js found each
    script to use and test for, None where it does not parse)."""
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
            lines.append(("WARN", "%s: uses what IE11 lacks, untested, where the load did not "
                                  "reach (a handler, say): %s" % (sources[index][0], ", ".join(
                                      "%s (%d, %sat %s)" % (name, count, "first " if count > 1
                                                            else "", place(sources[index], where))
                                      for name, count, where in names))))
    return lines
