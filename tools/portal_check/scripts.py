"""The scripts check: every script the engine runs, as fetching.py fetches
it, judged by its syntax (syntax.js) and by the page's runs (page_run.py)."""

import box
import node
import page_run
import sourcemaps
from fetching import fetch_scripts
from lines import joined, listing, said
from made import made_lines, ran_lines
from shared import judged_each

# The script types the engine runs, by the type attribute or as "text/" and
# the language attribute: the types HTML5 (2014, section 4.11.1.1) makes
# browsers recognise, less those Internet Explorer does not, listed in
# [MS-HTML5] 2.1.94, V0214 (application/x-ecmascript, text/javascript1.0,
# text/javascript1.4, text/javascript1.5, text/x-ecmascript). Anything else,
# templates, JSON data, modules, it leaves alone.
SCRIPT_TYPES = {"", "application/ecmascript", "application/javascript", "application/x-javascript",
                "text/ecmascript", "text/javascript", "text/javascript1.1", "text/javascript1.2",
                "text/javascript1.3", "text/jscript", "text/livescript", "text/x-javascript"}

# What IE11 runs past ECMAScript 5, and what it means for the portal.
LET_CONST = "let/const"
LET_CONST_NOTE = "IE11 runs let and const, but Windows 7 without IE11 does not run them"
# Said only of a script where a let heads a for loop.
LOOP_LET_NOTE = ("IE11 runs let and const, but there a let that heads a for loop is one variable "
                 "for all its iterations, and Windows 7 without IE11 does not run them")
MODULE_ONLY = ("every script of the page is type=\"module\", and IE11 runs none of them: serve "
               "an ECMAScript 5 build beside it in a <script nomodule>")
LEGACY_NOTE = ("the page's scripts are judged as edge mode would run them; the page renders in "
               "IE7 mode, which runs less (JScript 5.7: no ECMAScript 5, no let or const)")


def unparsed(source, error):
    """Where ECMAScript 5 stops parsing, with the text there."""
    lines = source[1].replace("\r\n", "\n").replace("\r", "\n").split("\n")
    at, near = error["column"], lines[error["line"] - 1]
    # Minified scripts put everything on one line.
    construct = (near if len(near) <= 80 else near[max(at - 30, 0):at + 30]).strip()
    return said("%s, not ECMAScript 5: %s near '%s'", sourcemaps.at_line(source, error, "syntax"),
                error["message"], construct)


def constructs(found, source):
    """The constructs past ECMAScript 5 as the line names them."""
    return listing([said("%s (%d, %sat %s)", c["name"], c["count"],
                         "first " if c["count"] > 1 else "", sourcemaps.at(source, c, "syntax"))
                    for c in found["constructs"]], "constructs past ECMAScript 5")


def script_verdict(source, found):
    """The line for one script that is not plain ECMAScript 5."""
    address = source[0]
    if found.get("tooDeep"):
        return "WARN", said("%s: nested too deeply for the check's parser, not judged", address)
    stops = found["error"] and unparsed(source, found["error"])
    if not found["constructs"]:
        return "FAIL", said("%s %s", address, stops)
    named = said("%s: %s", address, joined([constructs(found, source), stops], ", "))
    if found["error"] is None and all(c["name"] == LET_CONST for c in found["constructs"]):
        return "WARN", joined([named, LOOP_LET_NOTE if found["loopLet"] else LET_CONST_NOTE], ": ")
    return "FAIL", named


def module_only(parsed):
    """Whether the page's only scripts are modules, which IE11 does not run."""
    kinds = [kind for kind, _, _, _, _ in parsed.scripts]
    return "module" in kinds and not any(kind in SCRIPT_TYPES for kind in kinds)


def not_made(blocked):
    """What the line says of the requests to other hosts, None when there were none."""
    if not blocked:
        return None
    return said("requests to other hosts, not made: %s",
                listing(blocked, "requests to other hosts, not made"))


def summary(sources, brought, blocked, fired, waited):
    counted = "%d script%s parse%s as ECMAScript 5 and load%s with what IE11 lacks taken out" % (
        (len(sources),) + (("", "s", "s") if len(sources) == 1 else ("s", "", "")))
    if sources and box.used():
        counted += ", in the %s box" % box.used()
    return joined([counted,
                   brought and said("the page brings %s",
                                    listing(brought, "what the page brings", separator="; ")),
                   fired, waited, not_made(blocked)])


def examined(sources, lines):
    """For each source, {syntax, references}: syntax None when it is
    ECMAScript 5, else what IE11 meets in it past ECMAScript 5, and the
    globals it uses and tests for (syntax.js says how). Where syntax.js
    cannot say, a FAIL line on lines that says why, and nothing found."""
    if not sources:
        return []
    try:
        return judged_each("syntax.js", [source[1] for source in sources], 300)
    except (node.NodeError, ValueError) as error:
        lines.append(("FAIL", str(error)))
        return [{"syntax": None, "references": None} for _ in sources]


def syntax_lines(judged):
    """The lines for the scripts that are not plain ECMAScript 5, and for
    the code they make from text, of (source, what syntax.js found of it)."""
    judged = list(judged)
    return [script_verdict(source, result["syntax"])
            for source, result in judged if result["syntax"]] + made_lines(judged, script_verdict)


def check_scripts(page, parsed, timeout, legacy, reached=None, matching=None):
    """One line per script that IE11 cannot run as it stands (WARN for let and
    const alone), one per script whose run shows what IE11 lacks (WARN where
    the load does not reach it), or one PASS line. reached, a dict, takes the
    run's links and navigations (links.js) when the page's code ran;
    matching, where given, is handed the plain run, which answers it
    (matching.py)."""
    engine_runs = [script for script in parsed.scripts if script[0] in SCRIPT_TYPES]
    sources, problems = fetch_scripts(page, parsed.base, engine_runs, timeout)
    maps = sourcemaps.Maps(page, timeout)
    try:
        return judged_scripts(page, parsed, timeout, legacy, maps.sources(sources),
                              [("FAIL", problem) for problem in problems],
                              reached=reached, matching=matching, maps=maps)
    finally:
        maps.close()


def judged_scripts(page, parsed, timeout, legacy, sources, lines, *, reached, maps, matching):
    """check_scripts() of the scripts fetched, after the lines of those that
    could not be; maps (sourcemaps.Maps) give their places in the original
    sources, and those of the scripts the page adds."""
    if module_only(parsed):
        lines.append(("FAIL", MODULE_ONLY))
    runs, not_run = page_run.start_runs(page, sources, timeout, match=bool(matching))
    if matching:
        matching.start(runs[0] if runs else None, runs and runs.added)
    found = examined(sources, lines)
    lines += syntax_lines(zip(sources, found))
    outcome = page_run.finish_runs(runs, sources, [result["references"] for result in found],
                                   timeout, page.url, lambda added: examined(added, lines),
                                   maps.sources)
    if matching:
        matching.answer(outcome.matched)
    lines += syntax_lines(outcome.added)
    if reached is not None and outcome.links:
        reached.update(outcome.links)
    lines += ran_lines(outcome.made, sources + [source for source, _ in outcome.added],
                       list(zip(sources, found)) + list(outcome.added),
                       lambda made: examined(made, lines), script_verdict)
    lines += outcome.lines + ([("WARN", not_run)] if not_run else [])
    outcome.box = box.used() if runs else None
    return with_notes(lines + maps.notes(), sources, outcome, legacy)


BOX_NOTE = "the page's code ran in the %s box"


def with_notes(lines, sources, outcome, legacy):
    """The check's lines, or its PASS line when it has none, with the notes
    on the check as a whole."""
    maps = [detail for status, detail in lines if status == sourcemaps.NOTE]
    lines = [line for line in lines if line[0] != sourcemaps.NOTE]
    notes, ran = [], []
    if not lines:
        lines = [("PASS", summary(sources + [source for source, _ in outcome.added],
                                  outcome.brought, outcome.blocked, outcome.fired,
                                  outcome.waited))]
    else:
        # Of the page, not of the script whose line comes last.
        notes = [note for note in (outcome.waited, not_made(outcome.blocked)) if note]
        # Where its code ran, as the PASS line says: of the check, not of the page.
        ran = [("PASS", BOX_NOTE % outcome.box)] if outcome.box else []
    # Notes on the check as a whole, each said once: the check's verdict is
    # its lines', and what the notes say is no fault of its own (the
    # document-mode check fails the mode).
    noted = "PASS" if all(status == "PASS" for status, _ in lines) else "WARN"
    notes = ([outcome.unfired] if outcome.unfired else []) + notes + maps
    # What the engine runs in the mode the page really gets is less again.
    return ([(noted, LEGACY_NOTE)] if legacy else []) + lines + \
        [(noted, note) for note in notes] + ran
