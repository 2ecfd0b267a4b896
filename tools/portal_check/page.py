"""What the checks need of the start page's HTML."""
from html.parser import HTMLParser

# What a page loads by itself, as (tag, attribute, what it is).
LOADED_PARTS = [("script", "src", "script"), ("img", "src", "image"),
                ("iframe", "src", "frame"), ("frame", "src", "frame"),
                ("object", "data", "object"), ("embed", "src", "object")]


# Links a page's HTML gives the pages check, as the run gives at most (links.js).
MAX_LINKS = 500


def attrs_target(attrs):
    """An a's or area's own target attribute, None without one."""
    return next((value or "" for name, value in attrs if name == "target"), None)


class Page(HTMLParser):
    """What the checks need of the start page's HTML."""

    def __init__(self):
        super().__init__()
        self.first_element = None  # the first that is not html, head, title or meta
        self.mode_meta = None  # (content, the element it came after, if any)
        self.conditional_comment = False  # one came before the mode meta tag
        self.charset_meta = False
        self.base = ""
        self.scripts = []  # [type, src, text, line, column]
        self.stylesheets = []  # [href (None for <style>), text, line, column], in page order
        self.style = None  # the entry of the <style> being read, if the engine applies it
        self.parts = []  # (what it is, address) of what the page loads
        self.links = []  # (href, target or None, download) of a and area, at most MAX_LINKS
        self.base_target = None

    def handle_starttag(self, tag, attrs):
        attributes = {name: value or "" for name, value in attrs}
        equiv = attributes.get("http-equiv", "").lower()
        if tag == "meta" and equiv == "x-ua-compatible" and self.mode_meta is None:
            self.mode_meta = (attributes.get("content", ""), self.first_element)
        if tag == "meta" and ("charset" in attributes or equiv == "content-type" and
                              "charset=" in attributes.get("content", "").lower()):
            self.charset_meta = True
        if tag == "base" and not self.base:
            self.base = attributes.get("href", "")
        if tag == "base" and self.base_target is None and "target" in attributes:
            self.base_target = attributes["target"]
        if tag in ("a", "area") and "href" in attributes and len(self.links) < MAX_LINKS:
            self.links.append((attributes["href"], attrs_target(attrs), "download" in attributes))
        if tag == "script":
            kind = attributes.get("type", "").split(";")[0].strip().lower()
            if "type" not in attributes and attributes.get("language", "").strip():
                kind = "text/" + attributes["language"].strip().lower()
            self.scripts.append([kind, attributes.get("src"), "", None, 0])
        for element, attribute, what in LOADED_PARTS:
            if tag == element and attributes.get(attribute, "").strip():
                self.parts.append((what, attributes[attribute].strip()))
        if tag == "link" and "stylesheet" in attributes.get("rel", "").lower().split() and \
                attributes.get("href", "").strip():
            self.parts.append(("stylesheet", attributes["href"].strip()))
            if applied(attributes):
                self.stylesheets.append([attributes["href"], None, 1, 0])
        if tag == "style":
            self.style = [None, "", None, 0] if applied(attributes) else None
            self.stylesheets += [self.style] if self.style else []
        if tag not in ("html", "head", "title", "meta") and self.first_element is None:
            self.first_element = tag

    def handle_comment(self, data):
        # <!--[if lt IE 9]> ... <![endif]--> and <!--[if !IE]><!-->
        if data.strip().lower().startswith("[if") and self.mode_meta is None:
            self.conditional_comment = True

    def unknown_decl(self, data):
        # <![if !IE]>, the form that browsers other than IE show
        if data.strip().lower().startswith("if") and self.mode_meta is None:
            self.conditional_comment = True

    def handle_data(self, data):
        if self.cdata_elem == "script" and self.scripts:
            script = self.scripts[-1]
            if script[3] is None:
                script[3], script[4] = self.getpos()
            script[2] += data
        if self.cdata_elem == "style" and self.style:
            if self.style[2] is None:
                self.style[2], self.style[3] = self.getpos()
            self.style[1] += data


def applied(attributes):
    """Whether the engine applies a stylesheet by itself: CSS (no type, or
    text/css) and not an alternate one the player would have to pick."""
    kind = attributes.get("type", "").split(";")[0].strip().lower()
    return kind in ("", "text/css") and "alternate" not in attributes.get("rel", "").lower().split()


def parse_page(page):
    parser = Page()
    parser.feed(page.text())
    parser.close()
    return parser


def in_page(where, line, column):
    """The line and column (from 1) of a place in a script that starts at
    line, column (from 0) of its file: inline scripts count from the page."""
    return line + where["line"] - 1, where["column"] + (column if where["line"] == 1 else 0) + 1
