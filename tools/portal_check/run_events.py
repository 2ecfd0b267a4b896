"""The events in a run's output (run_page.js writes one JSON line each):
those of the run's own form taken, bounded in number, and every other line,
which page code may write on node's stdout too, left out."""
import io
import json

# Events judged of each run: a page that raises in a loop gives some
# hundreds, and what comes after the first of these says nothing new.
MAX_EVENTS = 10000


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


def _booleans(value):
    return isinstance(value, list) and all(isinstance(item, bool) for item in value)


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


# What makes code from text in a run (making.js).
MADE_KINDS = ("eval", "new Function", "setTimeout", "setInterval")

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
          "untrusted": {"reason": lambda value: isinstance(value, str)},
          "links": {"links": _strings, "navigations": _strings, "frames": _strings},
          "reached": {"script": _index, "line": _index, "column": _index,
                      "name": lambda value: isinstance(value, str),
                      "through": lambda value: isinstance(value, list) and len(value) <= 10,
                      "during": _during},
          "made": {"script": _place, "line": _place, "column": _place,
                   "kind": lambda value: value in MADE_KINDS,
                   "text": lambda value: isinstance(value, str), "size": _index},
          "matched": {"found": _booleans}}


def well_formed(event, count):
    """Whether an event is the run's own: every field of its kind as it must
    be, and a script one of the page's."""
    fields = FIELDS.get(event.get("event"))
    if fields is None or not all(valid(event.get(name)) for name, valid in fields.items()):
        return False
    return event.get("script") is None or 0 <= event["script"] < count


# What a run writes once: still taken past MAX_EVENTS (its done line comes last),
# and once only, whatever the page repeats.
ONCE = {"plan", "fired", "unplanned", "missing", "kept", "done", "unanswered", "links", "matched"}


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
