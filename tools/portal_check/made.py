"""Code that a script makes from text (eval, new Function, setTimeout or
setInterval with a string), which IE11 parses when it runs: each text past
ECMAScript 5 judged as a script of its own, and named by the script and
place that made it and by the address it gives itself (sourceURL)."""
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
            lines.append(script_verdict(maker(address, entry, line, column), entry["text"], 1, 0,
                                        entry["syntax"]))
        if len(made) > MOST_LINES:
            more = [maker(address, entry, line, column) for entry in made[MOST_LINES:]]
            lines.append(("FAIL", said("%s makes %d more texts of code past ECMAScript 5: %s",
                                       address, len(more),
                                       listing(more, "code made from text"))))
    return lines
