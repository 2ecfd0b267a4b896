"""How the verdict lines hold what comes from outside the check: the page,
its scripts, their exceptions, addresses. Whatever the page does, a line
names a few items of a list and how many more there are, cuts what is too
long and says so, and keeps each list's full count for --json."""

# Items a line names of a list before "and N more".
MOST_NAMED = 10
# Items --json keeps of a list, beside its full count.
MOST_KEPT = 100
# Characters of one item (an address, a name, a message) before it is cut.
MOST_ITEM = 200
# Characters of a line's detail, whatever it holds.
MOST_LINE = 2000


class Said(str):
    """Text the check made of bounded parts, with the lists it names:
    [{"of": what they are, "count": how many, "items": the first MOST_KEPT}],
    and the places in scripts it gives, for the SARIF log (sourcemaps.py)."""

    def __new__(cls, text, lists=(), places=()):
        said = super().__new__(cls, text)
        said.lists, said.places = list(lists), list(places)
        return said


def lists_of(*parts):
    """The lists that the parts name, in order."""
    return [entry for part in parts for entry in getattr(part, "lists", ())]


def places_of(*parts):
    """The places that the parts give, in order."""
    return [entry for part in parts for entry in getattr(part, "places", ())]


def shortened(text, most=MOST_ITEM):
    """text, or as much of its start as fits in most characters with how
    long it was; a Said keeps its lists."""
    if len(text) <= most:
        return text
    note = "... (%d characters, shortened)" % len(text)
    return Said(text[:max(most - len(note), 0)] + note, lists_of(text), places_of(text))


def bounded(part):
    """A part of a line as it may go in: what the check made as it is, any
    other text shortened."""
    return part if isinstance(part, Said) or not isinstance(part, str) else shortened(part)


def said(template, *parts):
    """template % parts, with each text that the check did not make
    shortened, and the lists of the parts."""
    return Said(template % tuple(bounded(part) for part in parts), lists_of(*parts),
                places_of(*parts))


def joined(parts, separator="; "):
    """The parts of a line that say something, one after the other, with
    their lists; each is the check's own or made by said() or listing()."""
    parts = [part for part in parts if part]
    return Said(separator.join(parts), lists_of(*parts), places_of(*parts))


def listing(items, of, count=None, separator=", ", more=None):
    """The first MOST_NAMED items, then how many more there are ("and N
    more", or more % N); count is how many there are in all where items
    holds only the first. --json gets the first MOST_KEPT and the lists they
    name themselves."""
    items = [bounded(item) for item in items]
    count = len(items) if count is None else count
    text = separator.join(items[:MOST_NAMED])
    if count > min(len(items), MOST_NAMED):
        text += (more or separator + "and %d more") % (count - min(len(items), MOST_NAMED))
    kept = items[:MOST_KEPT]
    return Said(text, [{"of": of, "count": count, "items": kept}] + lists_of(*kept),
                places_of(*kept))
