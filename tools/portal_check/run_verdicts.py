"""The judging of the page's two runs, as jsdom has it and without what
IE11 lacks: what their events say of each script, as verdict lines, and
what the scripts check's lines say of the page's requests and events."""
import re

from lines import Said, joined, listing, said, shortened
from sourcemaps import at, script_url


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


def brought(stripped, sources):
    """What the scripts bring of what IE11 lacks, one item for each, as the
    line names it."""
    items = []
    for e in stripped:
        if e["event"] == "provided":
            address = sources[e["script"]][0]
            items.append(said("%s from %s", listing(e["names"], said("what %s brings", address)),
                              address))
    return items


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
    """'at L:C, ' in the page's or the script's lines (sourcemaps.at() says
    how a map adds to it), or nothing where only the script is known."""
    if where.get("line") is None:
        return Said("", places=[{"kind": "exception", "url": script_url(source)}])
    return said("at %s, ", at(source, where, "exception"))


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


def fault(e):
    """An exception as both runs may raise it, whatever event each was in."""
    return e["script"], e["line"], e["column"], e["message"]


def reported(plain, stripped):
    """The exceptions the run without what IE11 lacks raised, each once (for
    each event it was raised in), that the run with it did not raise or whose
    message names what IE11 lacks: raised in both runs, it is jsdom's,
    whatever event each run was in."""
    both = {fault(e) for e in plain if e["event"] == "exception"}
    seen, found = set(), []
    for e in stripped:
        if e["event"] != "exception":
            continue
        key = fault(e) + (during(e),)
        if key in seen or (fault(e) in both and not e["lacks"]):
            continue
        seen.add(key)
        found.append(e)
    return found


def definers_of(plain):
    """{global: the first script that defined it in the run with everything}."""
    definers = {}
    for e in plain:
        if e["event"] == "defined":
            for name in e["names"]:
                definers.setdefault(name, e["script"])
    return definers


def cause(e, found, definers, sources):
    """Why an exception fails its script, as the line says."""
    if e["lacks"]:
        return said("IE11 lacks %s", listing(e["lacks"], "what IE11 lacks", separator=" or ",
                                             more=" or %d more"))
    first = failed_first(e, found, definers)
    if first is not None:
        return said("follows from %s, which failed first", sources[first][0])
    return "raised only without what IE11 lacks"


def failures(plain, stripped, sources, page_url):
    """A FAIL line for each script that raised, as the page loaded or as its
    events were fired without what IE11 lacks, an exception that the run
    with it did not raise, or one whose message names something IE11 lacks
    (the plain run knows no names: what raises there for want of one raises
    here as well). An exception that no script holds is the page's."""
    found, definers = reported(plain, stripped), definers_of(plain)
    # What handlers raise alike (one delegated handler, many elements) is
    # one fault, said once with the events.
    alike = {}
    for e in found:
        if e.get("during"):
            alike.setdefault(fault(e), []).append(e)
    failed = {}
    for e in found:
        events = alike.get(fault(e)) if e.get("during") else None
        if events and events[0] is not e:
            continue
        script = e["script"]
        where = place(sources[script], e) if script is not None else ""
        failed.setdefault((script, during_all(events) if events else ""), []).append(
            said("%s%s (%s)", where, one_line(e["message"]), cause(e, found, definers, sources)))
    return [("FAIL", said("%s: %s, %s", sources[script][0] if script is not None else page_url,
                          event or "as the page loads",
                          listing(exceptions, "exceptions", separator="; ")))
            for (script, event), exceptions in sorted(failed.items(),
                                                      key=lambda item: (item[0][0] is None,
                                                                        item[0]))]


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


def use_reached(e, references):
    """Where syntax.js found a use (references.js) that a read the run
    reached (reached.js) is of, {line, column}; None where the read is of
    no use there (a test, a guarded use). A static member's and a prototype
    member's read is placed at the member's name, and a prototype member's
    use is found by that name alone; a global's is placed where the
    statement or an expression around the name starts, and is the first
    name of it at or after that place in the same statement."""
    if e["event"] != "reached" or e["script"] >= len(references):
        return None
    places = (references[e["script"]] or {}).get("places") or {}
    name, at = e["name"], (e["line"], e["column"])
    if "." not in name:
        names = sorted(tuple(found[:3]) for found in places.get(name, [])
                       if len(found) == 5 and tuple(found[3:]) <= at <= tuple(found[:2]))
        return {"line": names[0][0], "column": names[0][1]} if names and names[0][2] else None
    if ".prototype." in name:
        name = "." + name.split(".prototype.", 1)[1]
    return {"line": at[0], "column": at[1]} if list(at) in places.get(name, []) else None


def reached_use(e, references):
    """Whether an event is a read the run reached of a use (use_reached())."""
    return use_reached(e, references) is not None


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
        if reached_use(e, references):  # said by reached.swallowed() where nothing raised
            failed.setdefault(e["script"], set()).add(e["name"])
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
                    [said("%s (%d, %sat %s)", name, count, "first " if count > 1 else "",
                          at(sources[index], where, "untested"))
                     for name, count, where in names], "uses of what IE11 lacks, untested"))))
    return lines
