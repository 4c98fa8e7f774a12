"""What a benchmarked system provides.

A system builds its structure from a list of records (``build``), and answers every workload
with one Python statement evaluated in its namespace ``ns`` (``statements``). The namespace
starts with the workload constants (``RARE``, ``AGE``, ...) and ``objs``, the records.

The update workloads are made from four statements: ``write_b`` moves record ``UPD_K`` to
city ``UPD_B`` keeping the system's structures right, ``write_a`` moves it back to
``UPD_A``, and ``query_b``/``query_a`` ask for the records of those cities.
"""


class System:
    key = ""  # short name, used in file names and on the command line
    label = ""  # column title
    kind = "plain"  # the records it holds: "plain" (__slots__ objects) or "indexable"
    note = ""  # how the system models the data, printed with the results

    def __init__(self):
        self.ns = {}

    def unavailable(self):
        """None when the system can run here, else why not (a missing package...)."""
        return None

    def start(self, objs, params):
        """Take the records and the workload constants (not timed)."""
        self.objs = objs
        self.ns = dict(params)
        self.ns["objs"] = objs

    def build(self):
        """Build the structure from ``self.objs`` (timed)."""
        raise NotImplementedError

    def clear(self):
        """Drop the structure (not timed)."""
        raise NotImplementedError

    def statements(self):
        """Workload key -> statement answering it, plus write_b/write_a/query_b/query_a."""
        raise NotImplementedError
