"""The scripts check: every script the engine runs, fetched and judged."""
import json
from urllib.parse import urlsplit

import box
import node
import page_run
from lines import joined, listing, said
from page import in_page
from web import NETWORK_ERRORS, NoAddress, base_of, fetch, not_fetched, resolve, why

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


def examine_scripts(sources):
    """For each source, {syntax, references}: syntax None when it is
    ECMAScript 5, else what IE11 meets in it past ECMAScript 5, and the
    globals it uses and tests for (syntax.js says how)."""
    return json.loads(node.run("syntax.js", sources, timeout=300))


def fetch_script(url, timeout, portal):
    """(text, None) for a script the engine would run from url, or (None, the
    line that says why it cannot be fetched); portal is the start page's
    answer, whose address bounds where the page's scripts may come from."""
    try:
        script = fetch(url, "*/*", timeout, portal)
    except NoAddress as error:
        return None, said("%s cannot be fetched: %s", url, str(error))
    except NETWORK_ERRORS as error:
        return None, said("%s %s: %s", url, not_fetched(error),
                          why(error, urlsplit(url).netloc, timeout))
    if script.status != 200:
        return None, said("%s cannot be fetched: %d %s", url, script.status, script.reason)
    return script.text(), None


def fetch_scripts(page, parsed, timeout):
    """([(address, source, line, column, url)], [problem]): the scripts the
    engine runs, inline ones (url None) with where they start in the page, and
    those that cannot be fetched."""
    sources, problems = [], []
    base = base_of(page.url, parsed.base)
    for kind, src, text, line, column in parsed.scripts:
        if kind not in SCRIPT_TYPES:
            continue
        if src is None:
            sources.append((said("%s (inline script)", page.url), text, line or 1, column, None))
            continue
        url = src.strip()
        try:
            url = resolve(base, url)
        except NoAddress as error:
            problems.append(said("%s cannot be fetched: %s", url, str(error)))
            continue
        text, problem = fetch_script(url, timeout, page)
        if problem:
            problems.append(problem)
        else:
            sources.append((url, text, 1, 0, url))
    return sources, problems


def unparsed(text, error, line, column):
    """Where ECMAScript 5 stops parsing, with the text there."""
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    at, near = error["column"], lines[error["line"] - 1]
    # Minified scripts put everything on one line.
    construct = (near if len(near) <= 80 else near[max(at - 30, 0):at + 30]).strip()
    return said("line %d, column %d, not ECMAScript 5: %s near '%s'",
                *in_page(error, line, column), error["message"], construct)


def constructs(found, line, column):
    """The constructs past ECMAScript 5 as the line names them."""
    return listing(["%s (%d, %sat %d:%d)" % ((c["name"], c["count"],
                                              "first " if c["count"] > 1 else "")
                                             + in_page(c, line, column))
                    for c in found["constructs"]], "constructs past ECMAScript 5")


def script_verdict(address, text, line, column, found):
    """The line for one script that is not plain ECMAScript 5."""
    if found.get("tooDeep"):
        return "WARN", said("%s: nested too deeply for the check's parser, not judged", address)
    stops = found["error"] and unparsed(text, found["error"], line, column)
    if not found["constructs"]:
        return "FAIL", said("%s %s", address, stops)
    named = said("%s: %s", address, joined([constructs(found, line, column), stops], ", "))
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


def check_scripts(page, parsed, timeout, legacy):
    """One line per script that IE11 cannot run as it stands (WARN for let and
    const alone), one per script whose run shows what IE11 lacks (WARN where
    the load does not reach it), or one PASS line."""
    sources, problems = fetch_scripts(page, parsed, timeout)
    lines = [("FAIL", problem) for problem in problems]
    if module_only(parsed):
        lines.append(("FAIL", MODULE_ONLY))
    runs, not_run = page_run.start_runs(page, sources, timeout)
    try:
        found = examine_scripts([source[1] for source in sources]) if sources else []
    except (node.NodeError, ValueError) as error:
        lines.append(("FAIL", str(error)))
        found = [{"syntax": None, "references": None} for _ in sources]
    lines += [script_verdict(*source[:4], result["syntax"])
              for source, result in zip(sources, found) if result["syntax"]]

    def examined(added):
        """What syntax.js finds of the scripts the page added."""
        try:
            return examine_scripts([source[1] for source in added])
        except (node.NodeError, ValueError) as error:
            lines.append(("FAIL", str(error)))
            return [{"syntax": None, "references": None} for _ in added]

    run_lines, brought, blocked, fired, waited, added = page_run.finish_runs(
        runs, sources, [result["references"] for result in found], timeout, page.url,
        examined)
    lines += [script_verdict(*source[:4], result["syntax"])
              for source, result in added if result["syntax"]]
    lines += run_lines + ([("WARN", not_run)] if not_run else [])
    notes = []
    if not lines:
        lines = [("PASS", summary(sources + [source for source, _ in added], brought, blocked,
                                  fired and page_run.fired_said(fired), waited))]
    else:
        # Of the page, not of the script whose line comes last.
        notes = [note for note in (waited, not_made(blocked)) if note]
    # Notes on the check as a whole, each said once: the check's verdict is
    # its lines', and what the notes say is no fault of its own (the
    # document-mode check fails the mode).
    noted = "PASS" if all(status == "PASS" for status, _ in lines) else "WARN"
    unfired = fired and page_run.unfired_said(fired)
    notes = ([unfired] if unfired else []) + notes
    # What the engine runs in the mode the page really gets is less again.
    return ([(noted, LEGACY_NOTE)] if legacy else []) + lines + [(noted, note) for note in notes]
