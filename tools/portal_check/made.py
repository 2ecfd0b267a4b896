"""Code that a script makes from text (eval, new Function, setTimeout or
setInterval with a string), which IE11 parses when it runs: each text past
ECMAScript 5 judged as a script of its own, and named by the script and
place that made it and by the address it gives itself (sourceURL)."""
import re

from lines import listing, said
from page import in_page

# Texts of one script named a line each: a development build makes one of
# each module, and past these one line names how many more there are.
MOST_LINES = 10


def maker(address, entry, line, column):
    """How a made text's line names it: the script, the call and its place
    in the page's lines, and its sourceURL."""
    named = said(" (%s)", entry["url"]) if entry.get("url") else ""
    return said("%s, the code %s makes at %d:%d%s", address, entry["kind"],
                *in_page(entry, line, column), named)


def made_lines(judged, script_verdict):
    """The lines for the code the scripts make from text, of (source, what
    syntax.js found of it), each judged by script_verdict (scripts.py's)."""
    lines = []
    for (address, _, line, column, _), result in judged:
        made = result.get("made") or []
        for entry in made[:MOST_LINES]:
            lines.append(script_verdict((maker(address, entry, line, column), entry["text"], 1, 0,
                                         None),
                                        entry["syntax"]))
        if len(made) > MOST_LINES:
            more = [maker(address, entry, line, column) for entry in made[MOST_LINES:]]
            lines.append(("FAIL", said("%s makes %d more texts of code past ECMAScript 5: %s",
                                       address, len(more),
                                       listing(more, "code made from text"))))
    return lines


# Texts made as the page ran that the check judges (making.js writes as many).
MOST_MADE = 100


def ran_lines(events, sources, judged, examine, script_verdict):
    """The lines for the code the page made from text as it ran, of the made
    events of its run: those whose text no script holds as a literal (judged
    gives those, as made_lines takes them), each judged by examine
    (scripts.py's examined) and script_verdict; a WARN names those cut short
    by the run's bound."""
    known = {entry["text"] for _, result in judged for entry in result.get("made") or []}
    taken, cut = {}, []
    for event in events:
        if event["text"] in known or event["text"] in taken or len(taken) == MOST_MADE:
            continue
        if event["size"] > len(event["text"]):
            cut.append(ran_maker(event, sources))
            continue
        taken[event["text"]] = event
    found = examine([(None, {"source": text, "body": event["kind"] == "new Function"})
                     for text, event in taken.items()]) if taken else []
    lines = [script_verdict((ran_maker(event, sources), event["text"], 1, 0, None),
                            result["syntax"])
             for event, result in zip(taken.values(), found) if result["syntax"]]
    if cut:
        lines.append(("WARN", said("code the page made from text past the run's bound, not "
                                   "judged: %s", listing(cut, "code made from text not judged"))))
    return lines


def ran_maker(event, sources):
    """maker() for a made event: the script by its index, the page where none."""
    script = event["script"]
    if script is None or not 0 <= script < len(sources):
        return said("the page's code, the code %s makes", event["kind"])
    address, _, line, column, _ = sources[script]
    if event["line"] is None:
        return said("%s, the code %s makes", address, event["kind"])
    url = re.search(r"//[#@][ \t]*sourceURL=[ \t]*(\S+)[ \t]*$", event["text"][-4096:], re.M)
    return maker(address, dict(event, url=url and url.group(1)), line, column)
