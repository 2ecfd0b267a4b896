"""The page run of the scripts check: the start page loaded in jsdom twice
(run_page.js), once as jsdom has it and once with what IE11 lacks taken out,
each behind a proxy of its own, and the outcome of both as the scripts check
takes it. The check gives the page's scripts and what it found of them; the
run's pieces do the rest (run_process.py, run_events.py, run_verdicts.py,
added.py)."""
import time
from urllib.parse import urlsplit

import box
import lanes
import node
from added import Added
from reached import swallowed
from run_events import events
from run_process import Flooded
from run_verdicts import (brought, failures, fired_said, stopped_line, unanswered, unfired_said,
                          unreached, untrusted)

# Seconds after the load event that timers still count for.
SETTLE = 1.0
NO_SANDBOX = ("the page's code was not run, and the scripts are judged by their syntax alone: "
              "its sandbox cannot be made, as %s; --fail-on warn makes this a failure")


# The share of the time limit that firing the page's events may take: 1.5 s
# at the default limit. A whole template's handlers take some 40 ms an event
# (jQuery's delegation matches each one's selectors up the tree), and what is
# left past this is mostly the same delegated handler at more elements of
# the same kind, which its own line names.
EVENTS_SHARE = 0.1
# The share of the time limit that the run may wait for the page's requests
# to be answered, after the load and again after the events.
WAIT_SHARE = 0.25


class Runs(list):
    """Both runs of the page, the lane they run in (lanes.py), with the
    proxies that are their one way to the portal: one for each, so that the
    idle connections one run holds push out none of the other's; and the
    scripts the page added."""
    lane = None
    added = None


class Outcome:
    """What both runs give the scripts check: verdict lines, what the page
    brought, requests not made, and the scripts the page added, each (source,
    what the check found of it); and what the check's lines say, or None, of
    the events fired and those left unfired, and of requests left
    unanswered; the run's links event (links.js), or None; and the plain run's
    answer to the selectors it was sent, or None."""
    links = None
    box = None  # the box the page's code ran in, None where it did not run

    made = ()  # the code the page made from text as it ran (making.js)
    matched = None

    def __init__(self, lines=(), brought=(), blocked=(), plan=None, waited=None, added=()):
        self.lines, self.brought, self.blocked = list(lines), list(brought), list(blocked)
        self.fired = plan and fired_said(plan)
        self.unfired = plan and unfired_said(plan)
        self.waited, self.added = waited, list(added)


def payload_of(page, sources, timeout):
    """What both runs are given of the page, its scripts and their time."""
    return {"url": page.url, "html": page.text(), "host": urlsplit(page.url).netloc,
            "settle": SETTLE, "budget": timeout * EVENTS_SHARE, "wait": timeout * WAIT_SHARE,
            "scripts": [{"url": url, "text": text, "line": line, "column": column}
                        for _, text, line, column, url in sources]}


def start_runs(page, sources, timeout, match=False):
    """Starts both runs of the page: (the runs, None), or ([], why not) when
    the sandbox that the page's code runs in cannot be made. Each source is
    (address, text, line, column, url), url None when inline. With match,
    the plain run waits at its end for selectors to match (matching.py)."""
    if not sources:
        return [], None
    try:
        node.check_sandbox()
    except box.SandboxError as error:
        return [], NO_SANDBOX % error
    runs = Runs()
    runs.added = Added(page, len(sources), timeout)
    try:
        runs.lane = lanes.take(page, timeout)
    except (node.NodeError, box.SandboxError, OSError) as error:
        return [], "the page's code was not run: %s" % error
    runs += runs.lane.runs
    payload = payload_of(page, sources, timeout)
    for strip, run, proxy in reversed(list(zip((False, True), runs, runs.lane.proxies))):
        # The run without what IE11 lacks is told what that is, as the
        # check keeps it, rather than read it from bcd itself.
        run.page(dict(payload, strip=strip, proxy=proxy.path,
                      **({"lacked": node.kept_lacks()} if strip else {}),
                      **({"match": timeout * WAIT_SHARE} if match and not strip else {})),
                 runs.added)
    return runs, None


def outputs_of(started, timeout):
    """Each run's output, both within timeout, and the first error that
    stopped one with its run's place, or None."""
    outputs, stopped = [], None
    deadline = time.monotonic() + timeout
    for run in started:
        try:
            outputs.append(run.finish(max(deadline - time.monotonic(), 0.1)))
        except node.NodeError as error:
            outputs.append(error.output)
            stopped = stopped or (error, len(outputs) - 1)
    return outputs, stopped


def ended_early(outputs, stopped, sources, timeout):
    """A WARN line when a run could not be completed: stopped, as
    outputs_of() gives it, or ended by the page's code before it was done."""
    if stopped:
        error, output = stopped[0], outputs[stopped[1]]
        return [("WARN", str(error) if isinstance(error, Flooded) else
                 stopped_line(error, output, sources, timeout))]
    if not all(any(e["event"] == "done" for e in run) for run in outputs):
        return [("WARN", "the page's run ended early: its code ended node before the "
                         "run was done; what ran before is judged")]
    return []


def finish_runs(started, sources, references, timeout, page_url, examine, mapped=None):
    """Waits for both runs; their Outcome, with a line of its own when a run
    could not be completed. sources and references hold the page's own
    scripts and what syntax.js found of them; examine() gives that of the
    scripts the page added, and mapped() those scripts as they give their
    places in their original sources (sourcemaps.Maps)."""
    outputs, stopped = outputs_of(started, timeout)
    lane = getattr(started, "lane", None)
    refused = lane.refused() if lane else []
    if lane:
        lanes.give_back(lane)
    if len(outputs) < 2:
        return Outcome()
    added = (mapped or list)(started.added.sources(sources))
    found = examine(added) if added else []
    sources = sources + added
    references = list(references) + [result["references"] for result in found]
    outputs = [events(output, len(sources)) for output in outputs]
    lines = started.added.lines(sources) + failures(outputs[0], outputs[1], sources, page_url) + \
        unreached(outputs[1], sources, references) + swallowed(outputs[1], sources, references) + \
        untrusted(outputs) + \
        ended_early(outputs, stopped, sources, timeout)
    # What the page's own interfaces were kept from, and what code that reached
    # past them asked the proxy for.
    blocked = sorted({e["url"] for run in outputs for e in run if e["event"] == "blocked"} |
                     set(refused))
    plans = [e for e in outputs[0] if e["event"] == "plan"]
    outcome = Outcome(lines, brought(outputs[1], sources), blocked, plans[0] if plans else None,
                      unanswered(outputs), zip(added, found))
    outcome.links = next((e for e in outputs[0] if e["event"] == "links"), None)
    outcome.made = [e for e in outputs[0] if e["event"] == "made"]
    outcome.matched = next((e["found"] for e in outputs[0] if e["event"] == "matched"), None)
    return outcome
