"""One node process of the page runs (run_page.js) and the protocol on its
pipes: what goes on its stdin, in order, and its output collected as it
comes, a page's run at a time, up to OUTPUT_LIMIT on each stream, with the
lines that one run hands the other and the wants it hands added.py. A
process runs one page after another (lanes.py), each page's output ending
with its own done line."""
import json
import queue
import secrets
import threading

import node

# What the check reads of each stream of a run: a real run writes some tens of
# KiB of event lines, and page code may write without end on either.
OUTPUT_LIMIT = 4 << 20
CHUNK = 1 << 16
# The plain run's lines that the other run follows: each planned event, and
# the plan that ends them.
PLAN = b'{"event":"plan'
PLAN_END = b'{"event":"plan"'
WANT = b'{"event":"want"'
# What the plain run's end tells the other when it wrote no plan: fire nothing.
NO_PLAN = b'{"event":"plan","fire":null}\n'
DONE = b'{"event":"done","run":%s}\n'


class Flooded(node.NodeError):
    """A run stopped for writing more than OUTPUT_LIMIT on one stream."""

    def __init__(self, stream, output):
        super().__init__("the page's run wrote more than %d MiB on its %s; what ran before is "
                         "judged" % (OUTPUT_LIMIT >> 20, stream), output)


def each_line(out, prefix, start, then):
    """Calls then with each whole line of out from start on that begins with
    prefix; where the next one may start, or None once then has said that no
    more are wanted."""
    while True:
        found = out.find(prefix, start)
        if found < 0:
            return max(start, len(out) - len(prefix))
        end = out.find(b"\n", found)
        if end < 0:
            return found
        if found == 0 or out[found - 1] == ord("\n"):
            if then(bytes(out[found:end + 1])):
                return None
        start = end + 1


class Stdin:
    """What is handed to a run, written on its stdin in order by a thread of
    its own: node reads its stdin only once it has started, and the payload
    (the page and its scripts) fills the pipe long before that, which would
    hold up the other run's start and the reader that hands this run the
    plan."""

    def __init__(self, pipe):
        self.pipe = pipe
        self.handed = queue.Queue()  # what goes on the pipe, in order; None ends it
        self.writer = threading.Thread(target=self.write, daemon=True)

    def hand(self, line):
        """Hands a line to the run, from whichever thread, without waiting
        for it to be written."""
        self.handed.put(line)

    def close(self):
        self.handed.put(None)

    def write(self):
        while True:
            line = self.handed.get()
            if line is None:
                break
            try:
                self.pipe.write(line)
                self.pipe.flush()
            except (OSError, ValueError):
                break  # it ended already; Run.finish() says why
        try:
            self.pipe.close()
        except OSError:
            pass


class Run:
    """One node process of the page runs, its output collected by threads as
    it comes, a page at a time: page() hands it the next. The plain run
    plans the page's events; each planned line, and the plan line that ends
    them, is handed to the other run as it comes, which fires them (and
    fires nothing when the plain run ends without a plan). Each run's stdin
    stays open for the answers to the scripts its page adds (added.py), and
    for the next page."""

    def __init__(self, process):
        self.process = process
        self.out, self.errors = bytearray(), bytearray()
        self.flooded = None  # the stream that went past the limit
        self.after = None  # the run the plan goes to
        self.added = None  # the page's Added
        self.done = None  # the page's done line
        self.over = threading.Event()  # set when the page's done line came, or the output ended
        self.ended = False  # the output ended: the process ended, or was stopped
        # Holds page() and hand() together: an answer for the last page's
        # scripts is not handed once the next page is.
        self.lock = threading.Lock()
        self.stdin = Stdin(self.process.stdin)
        self.readers = [threading.Thread(target=self.read, daemon=True),
                        threading.Thread(target=self.read_errors, daemon=True)]
        for thread in self.readers + [self.stdin.writer]:
            thread.start()

    def page(self, payload, added):
        """Hands the process its next page, payload a dict; added the page's
        Added, which answers the scripts it adds, and stands for the page's
        run in hand()."""
        token = secrets.token_hex(8)
        with self.lock:
            self.out.clear()
            self.added, self.done = added, DONE % json.dumps(token).encode()
            self.over.clear()
            self.stdin.hand(json.dumps(dict(payload, event="page", run=token)).encode() + b"\n")

    def hand(self, line, added=None):
        """Hands a line to the page's run: with added, only while the run is
        that page's, as what is meant for a page whose run is over (an added
        script's answer, the stylesheets' selectors) must not reach the next
        page's."""
        with self.lock:
            if added is None or added is self.added:
                self.stdin.hand(line)

    def read(self):
        # Where the next plan, want or done line may start; handed None past
        # the plan, done None past the done line.
        handed = wanted = done = 0
        while self.take(self.process.stdout, self.out, "standard output"):
            if self.after and handed is not None:
                handed = each_line(self.out, PLAN, handed, self.hand_plan)
            if self.added:
                wanted = each_line(self.out, WANT, wanted, lambda line: self.added.want(line, self))
            if self.done and done is not None:
                done = each_line(self.out, self.done, done, lambda line: True)
            if done is None:
                # The page's run is over; page() starts the next one's output.
                if self.after and handed is not None:
                    self.after.hand(NO_PLAN)
                self.done, handed, wanted, done = None, 0, 0, 0
                self.over.set()
        if self.after and handed is not None:
            self.after.hand(NO_PLAN)
        self.ended = True
        self.over.set()

    def read_errors(self):
        while self.take(self.process.stderr, self.errors, "error output"):
            pass

    def take(self, stream, into, name):
        """Reads a chunk of stream into into; False at its end, or once the
        run has written past the limit on it, and then the run is stopped."""
        chunk = stream.read1(CHUNK)
        if not chunk:
            return False
        into += chunk[:OUTPUT_LIMIT - len(into)]
        if len(into) < OUTPUT_LIMIT:
            return True
        self.flooded = self.flooded or name
        self.process.kill()
        return False

    def hand_plan(self, line):
        """Hands a planned or plan line to the other run; True once the plan
        that ends them has come."""
        self.after.hand(line)
        return line.startswith(PLAN_END)

    def finish(self, timeout):
        """The page's output once its done line came; node.NodeError as
        node.finish() raises it, or Flooded, when the process ended first."""
        if not self.over.wait(timeout):
            self.process.kill()
            self.process.wait()
            self.join()
            raise node.NodeError("stopped after %g s" % timeout, self.output(), True)
        if not self.ended:
            return self.output()
        self.process.wait()
        self.join()
        if self.flooded:
            raise Flooded(self.flooded, self.output())
        if self.process.returncode != 0:
            raise node.failure(self.process, self.errors.decode("utf-8", "replace"),
                               self.output())
        return self.output()

    def join(self):
        for reader in self.readers:
            reader.join(5)
        self.stdin.close()

    def output(self):
        return self.out.decode("utf-8", "replace")
