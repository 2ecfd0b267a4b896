"""What the node programs that judge each text on its own (syntax.js,
stylesheets.js) found of a text, made once per check: the portal's pages
share their bundles and stylesheets, and a text judged for one page is not
judged again for the next."""
import hashlib
import json
import threading

import node

# Texts whose findings are kept; past it a text is judged each time.
MOST_KEPT = 2000
_found = {}
_lock = threading.Lock()


def key_of(program, text):
    """A text's key: a text, or what else a program takes for one (syntax.js
    takes {source, body} for code a page made from text), as JSON."""
    if not isinstance(text, str):
        text = json.dumps(text, sort_keys=True)
    return hashlib.sha256(program.encode() + b"\0" + text.encode("utf-8", "surrogatepass")).digest()


def judged_each(program, texts, timeout):
    """What program finds of each text, as node.run() gives it for the list,
    each text given to node only where this check has not judged it yet."""
    keys = [key_of(program, text) for text in texts]
    with _lock:
        new = {key: text for key, text in zip(keys, texts) if key not in _found}
    made = {}
    if new:
        found = json.loads(node.run(program, list(new.values()), timeout))
        made = {key: json.dumps(result) for key, result in zip(new, found)}
        with _lock:
            for key, said in made.items():
                if len(_found) < MOST_KEPT:
                    _found[key] = said
    # Each caller gets findings of its own: they are read as lists and dicts.
    return [json.loads(made.get(key) or _found[key]) for key in keys]
