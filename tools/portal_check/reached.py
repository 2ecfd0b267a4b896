"""Uses of what IE11 lacks that the run without it reached (reached.js)
and that raised nothing it saw: the page's own code swallowed the
exception (a Promise polyfill's then, a .catch, an error callback), as it
does in IE11, where what the use was for is lost without an error."""
import re

from lines import said
from run_verdicts import during, place, use_reached

_OF_UNDEFINED = re.compile(r"\bof undefined\b")


def _went(e, stripped, sources):
    """Where the exception of a reached use went, as the line says it."""
    through = [index for index in e["through"] if isinstance(index, int) and
               not isinstance(index, bool) and 0 <= index < len(sources)]
    promises = {e2["script"] for e2 in stripped
                if e2["event"] == "provided" and "Promise" in e2["names"]}
    for index in through:
        if index in promises:
            return said("a promise's then of %s, which brings Promise, turned it into a "
                        "rejection that nothing reports", sources[index][0])
    if through:
        return said("the page's own code in %s caught it", sources[through[0]][0])
    return "the script's own code caught it"


def swallowed(stripped, sources, references):
    """A FAIL line for each use (references: what syntax.js found of each
    script) that the run without what IE11 lacks reached where no exception
    naming it was raised on its line."""
    raised = {(e["script"], e["line"], name) for e in stripped if e["event"] == "exception"
              for name in e["lacks"]}
    # A member read on what a member IE11 lacks gave (document.currentScript.src)
    # raises at that read, and its message names only undefined.
    raised_of_undefined = {(e["script"], e["line"]) for e in stripped
                           if e["event"] == "exception" and not e["lacks"] and
                           _OF_UNDEFINED.search(e["message"])}
    lines, said_of = [], set()
    for e in stripped:
        use = use_reached(e, references)
        if use is None or (e["script"], e["line"], e["name"]) in raised or \
                (e["script"], e["line"]) in raised_of_undefined:
            continue
        # A global's use is reached from the places of the reads around it.
        if (e["script"], e["name"], use["line"], use["column"]) in said_of:
            continue
        said_of.add((e["script"], e["name"], use["line"], use["column"]))
        source = sources[e["script"]]
        lines.append(("FAIL", said(
            "%s: %s, %s%s is used where IE11 lacks it, and no error shows: %s",
            source[0], during(e) or "as the page loads", place(source, use), e["name"],
            _went(e, stripped, sources))))
    return lines
