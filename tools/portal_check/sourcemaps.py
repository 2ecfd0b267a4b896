"""The source maps of the page's scripts: a script that names one (a
sourceMappingURL comment, a SourceMap or X-SourceMap header) has each place
the scripts check gives in it given in its original source as well, as
`src/settings.js:7:12 (dist/app.js 1:64)`. Maps are fetched as the page's
scripts are (fetching.py), an inline data: map is read where it stands, and
sourcemap.js reads them outside the sandbox, as syntax.js reads the scripts.
A map that cannot be had or read is named on a line of its own, and its
script's places stand as they are."""
import base64
import binascii
import json
import os
import re
import select
import time
from urllib.parse import unquote_to_bytes, urlsplit

import node
from fetching import MAX_MAP, fetch_map
from lines import Said, said
from page import in_page
from web import NoAddress, resolve

# The comment that names a script's map; the last one counts. "//@" is the
# older form, which bundlers still write for old tools.
NAMED = re.compile(r"(?://|/\*)[#@][ \t]*sourceMappingURL=([^\s'\"*]+)")
# The status of a line on a map that cannot be had or read: a note on the
# check as a whole (scripts.py), which changes where places are shown and
# nothing the players get.
NOTE = "NOTE"
# What webpack puts before a module's path ("webpack://portal/./src/a.js").
BUNDLER_PREFIX = re.compile(r"^webpack://[^/]*/")


class Mapper:
    """sourcemap.js, started with the first map and asked one line at a
    time; after a failure it is not asked again, and no place is mapped."""

    def __init__(self, timeout):
        self.timeout, self.process, self.pending, self.broken = timeout, None, b"", False
        self.answers = {}

    def ask(self, request):
        """The program's answer; NodeError when it gives none in time."""
        if self.process is None:
            self.process = node.start("sourcemap.js", None)[0]
        self.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + self.timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise node.NodeError("sourcemap.js gave no answer within %g s" % self.timeout)
            chunk = os.read(self.process.stdout.fileno(), 1 << 16)
            if not chunk:
                raise node.NodeError("sourcemap.js ended: %s" % self.process.stderr.read(
                    4096).decode("utf-8", "replace").strip().split("\n")[-1])
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def read(self, text):
        """(the map's index, None), or (None, why it cannot be read)."""
        if self.broken:
            return None, "cannot be read: sourcemap.js stopped on an earlier map"
        try:
            error = self.ask({"map": text})["error"]
        except (node.NodeError, OSError, ValueError) as failed:
            self.broken = True
            return None, said("cannot be read: %s", str(failed))
        self.answers[len(self.answers)] = {}
        return (None, said("cannot be read: %s", error)) if error else \
            (len(self.answers) - 1, None)

    def origin(self, index, line, column):
        """(source, line, column) in the original source, lines and columns
        from 1, or None where the map gives none."""
        known = self.answers[index]
        if (line, column) not in known:
            try:
                known[line, column] = None if self.broken else \
                    self.ask({"index": index, "line": line, "column": column})
            except (node.NodeError, OSError, ValueError):
                self.broken, known[line, column] = True, None
        found = known[line, column]
        if not found or not isinstance(found[0], str) or \
                not all(isinstance(number, int) for number in found[1:]):
            return None
        return BUNDLER_PREFIX.sub("", found[0]).removeprefix("./"), found[1], found[2] + 1

    def close(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
                pipe.close()


class Mapped(tuple):
    """A source (address, text, line, column, url) whose script names a map:
    the map is fetched and read when a place in the script is first given,
    as most scripts have none to give."""

    def __new__(cls, source, maps, address):
        mapped = super().__new__(cls, source)
        mapped.maps, mapped.address, mapped.map_index = maps, address, None
        return mapped

    def origin(self, line, column):
        """The original place of a place in the script, or None."""
        if self.map_index is None:
            self.map_index = self.maps.read(self)
        return self.map_index is not False and \
            self.maps.mapper.origin(self.map_index, line, column)


def named_map(source):
    """The address of the map a source's script names, or None."""
    header = getattr(source[1], "map_header", None)
    if header and header.strip():
        return header.strip()
    found = None
    for found in NAMED.finditer(source[1]):
        pass
    return found and found.group(1)


def in_place(address):
    """(text, None) for a data: map, or (None, why it cannot be read)."""
    kind, comma, data = address[5:].partition(",")
    if not comma:
        return None, "cannot be read: its data: address holds no comma"
    try:
        body = base64.b64decode(data, validate=True) if kind.lower().endswith(";base64") else \
            unquote_to_bytes(data)
    except (binascii.Error, ValueError) as error:
        return None, said("cannot be read: %s", str(error))
    return body.decode("utf-8", "replace"), None


def map_text(source, address, page, timeout):
    """(what the line calls the map, its text or None, why not)."""
    if address[:5].lower() == "data:":
        if len(address) > MAX_MAP:
            return "(inline)", None, "is past %d MB, and not read" % (MAX_MAP >> 20)
        return ("(inline)",) + in_place(address)
    try:
        url = resolve(source[4] or page.url, address)
    except NoAddress as error:
        return address, None, said("cannot be fetched: %s", str(error))
    if urlsplit(url).scheme not in ("http", "https"):
        return url, None, "is not fetched: the check fetches maps over http and https alone"
    return (url,) + fetch_map(url, timeout, page)


class Maps:
    """The maps of one page's scripts, each read once, when first asked; and
    a note for each that cannot be had or read."""

    def __init__(self, page, timeout):
        self.page, self.timeout = page, timeout
        self.mapper, self.unread = Mapper(timeout), []

    def sources(self, sources):
        """The sources, each whose script names a map as Mapped."""
        return [source if named_map(source) is None else Mapped(source, self, named_map(source))
                for source in sources]

    def read(self, source):
        """The index of source's map in the mapper, or False where it cannot
        be had or read (noted)."""
        shown, text, problem = map_text(source, source.address, self.page, self.timeout)
        index = None
        if text is not None:
            index, problem = self.mapper.read(text)
        if problem:
            self.unread.append((NOTE, said("%s: its source map %s %s; the places given in it "
                                           "are the script's own", source[0], shown, problem)))
        return False if index is None else index

    def notes(self):
        return list(self.unread)

    def close(self):
        self.mapper.close()


def script_url(source):
    """A source's address: its script's, or for an inline one its page's."""
    return source[4] or source[0].split(" ")[0]


def placed(source, where, kind):
    """((line, column) in the page's or the script's lines, the original
    source's place as the line gives it or None, the place for the log)."""
    line, column = in_page(where, source[2], source[3])
    place = {"kind": kind, "url": script_url(source), "line": line, "column": column}
    found = isinstance(source, Mapped) and source.origin(where["line"], where["column"])
    if not found:
        return (line, column), None, place
    place.update(source=found[0], sourceLine=found[1], sourceColumn=found[2])
    return (line, column), said("%s:%d:%d", *found), place


def at(source, where, kind):
    """'L:C' for a place in a script, or 'src/a.js:7:12 (dist/app.js 1:64)'
    where its map gives the original; kind says what is there, for the log."""
    (line, column), origin, place = placed(source, where, kind)
    if origin is None:
        return Said("%d:%d" % (line, column), places=[place])
    bundle = urlsplit(place["url"]).path.lstrip("/") or place["url"]
    return Said(said("%s (%s %d:%d)", origin, bundle, line, column), places=[place])


def at_line(source, where, kind):
    """'line L, column C' for a place in a script, followed by its original
    where its map gives one: 'line 1, column 64 (src/a.js:7:12)'."""
    (line, column), origin, place = placed(source, where, kind)
    said_at = "line %d, column %d" % (line, column)
    return Said(said_at if origin is None else said("%s (%s)", said_at, origin), places=[place])
