"""Turns fuzz input bytes into a program of Veldrake operations and checks every answer.

A program works on a few objects (plain `Indexable`s and a subclass), up to three indexes and
the views cut from them. Each operation reads some bytes to choose what it does: make an object,
write an attribute (numbers, bools, strings, unknown values, nested objects, lists, tuples, sets,
dicts, containers that hold themselves, numpy scalars), add objects, ask keyword and expression
queries (dotted paths included) of indexes and views, group, reduce, merge, rebase, drop, and
provoke argument errors. Every answer is compared with a plain-Python model kept beside the
module, built on the predicates of tests/python/reference_model.py.

Where the module's answer is not pinned down to one set, the model gives bounds instead of an
exact answer:
- after `reduce`, an index's value indexes may have lost the values of the objects that did not
  match, so each member is either "complete" (all its values certainly indexed) or only
  "eligible" (some of them may be); answers must lie between what the complete members and
  what the eligible members would give;
- in a program whose objects may hold each other in a cycle, a dotted path is only required
  to find nothing that the model does not find (an object is never registered inside itself).
Queries with an operand that cannot be ordered and values that cannot be stored (integers
beyond 64 bits, strings that are not valid UTF-8) may raise the module's internal-error
exception instead; then nothing may have changed.

Every operation is also written down as a line of Python, so a failure comes with a program
that reproduces it.
"""

import enum
import gc
import math
import os
import re
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import Veldrake  # noqa: E402
from Veldrake import FilteredIndex, Index, Indexable, PyQueryExpr as Q  # noqa: E402

import reference_model as ref  # noqa: E402

try:
    import numpy
except ImportError:  # numpy is optional (PyPy, 32-bit)
    numpy = None

MAX_OBJECTS = 10
MAX_INDEXES = 3
MAX_VIEWS = 6
NAN = float("nan")
INF = float("inf")
BIG = 2**53
LONG = "x" * 40


class Mismatch(AssertionError):
    """An answer that the model does not allow."""


class Exhausted(Exception):
    """The input has no bytes left: the program ends here."""


# The classes that programs use, as source: defined here from it, and written at the top of every
# reproducer, so that both always agree.
CLASSES = '''\
class Node(Indexable):
    """A subclass of Indexable, made as often as plain objects."""

    def describe(self):
        return "node"


class Opaque:
    """An object of no kind the module knows: stored, never found by value."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"Opaque({self.tag!r})"


class Color(enum.Enum):
    RED = 1
    BLUE = 2
'''
exec(CLASSES)  # noqa: S102 - defines Node, Opaque and Color

OPAQUE = [Opaque("p"), Opaque("q")]

HEADER = (
    "import enum\n"
    "from Veldrake import FilteredIndex, Index, Indexable, PyQueryExpr as Q\n"
    'nan, inf, LONG = float("nan"), float("inf"), "x" * 40\n'
    + CLASSES
    + 'op0, op1 = Opaque("p"), Opaque("q")\n'
)


def _panic_type():
    """The class of the module's internal-error exception, learnt from a value it refuses."""
    try:
        Indexable(probe=2**64)
    except BaseException as exc:  # noqa: B036 - it derives from BaseException only
        return type(exc)
    return None


class _NeverRaised(BaseException):
    pass


PANIC = _panic_type() or _NeverRaised

# Values as (value or factory, source text). A factory makes a fresh object each time.
SCALARS = [
    (0, "0"), (1, "1"), (2, "2"), (-1, "-1"), (7, "7"), (0.0, "0.0"), (1.0, "1.0"), (2.5, "2.5"),
    (-0.0, "-0.0"), (-1.0, "-1.0"), (BIG, "2**53"), (BIG + 1, "2**53 + 1"),
    (float(BIG), "2.0**53"), (2**63 - 1, "2**63 - 1"), (-(2**63), "-2**63"), (5e-324, "5e-324"),
    (NAN, "nan"), (INF, "inf"), (-INF, "-inf"), (True, "True"), (False, "False"),
    ("a", "'a'"), ("b", "'b'"), ("", "''"), ("\u00e9t\u00e9", "'\u00e9t\u00e9'"), (LONG, "LONG"),
    (None, "None"),
]
UNKNOWNS = [
    (b"x", "b'x'"), (lambda: frozenset({1}), "frozenset({1})"), (Color.RED, "Color.RED"),
    (OPAQUE[0], "op0"), (OPAQUE[1], "op1"), (1j, "1j"), (lambda: bytearray(b"z"), "bytearray(b'z')"),
]
REFUSED = [(2**64, "2**64"), (-(2**63) - 1, "-2**63 - 1"), ("\ud800", "'\\ud800'")]
if numpy is not None:
    NUMPY = [
        (numpy.int64(5), "np.int64(5)"), (numpy.int64(2**62), "np.int64(2**62)"),
        (numpy.float64(2.5), "np.float64(2.5)"), (numpy.bool_(True), "np.bool_(True)"),
        (numpy.str_("a"), "np.str_('a')"), (numpy.int64(1), "np.int64(1)"),
    ]
else:
    NUMPY = []

ATTRS = ["x", "y", "tags", "owner"]
RARE_ATTRS = ["", "a.b", "n\u00e9"]
PATHS = ["x", "y", "tags", "owner", "owner.x", "owner.y", "owner.tags", "owner.owner.x",
         "tags.x", "tags.owner.y", "x.y", "zz", "", "owner.", "a.b", "n\u00e9"]
KEYWORDS = ["x", "y", "tags", "owner", "zz", "", "a.b"]
MERGE_LINE = re.compile(r"Merging attribute with 0x[0-9a-fA-F]+ and 0x[0-9a-fA-F]+")


def canonical(leaf):
    """A numpy scalar as the plain Python value the module reads it as; others unchanged."""
    if numpy is not None and isinstance(leaf, numpy.generic):
        return leaf.item()
    return leaf


def refused(value):
    """True when storing or passing `value` makes the module refuse it: an integer beyond 64
    bits or a str that is not valid UTF-8, anywhere in it (dicts are never looked into)."""
    for leaf in ref.leaves(value):
        if type(leaf) is int and not -(2**63) <= leaf < 2**63:
            return True
        if type(leaf) is str:
            try:
                leaf.encode("utf-8")
            except UnicodeEncodeError:
                return True
    return False


def fmt_kwargs(pairs):
    """Keyword arguments as source: `a=1` for identifiers, `**{'a.b': 1}` for other names."""
    plain = [f"{name}={src}" for name, src in pairs if name.isidentifier()]
    other = [f"{name!r}: {src}" for name, src in pairs if not name.isidentifier()]
    if other:
        plain.append("**{" + ", ".join(other) + "}")
    return ", ".join(plain)


class Reader:
    """The input bytes, read one decision at a time."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            raise Exhausted
        value = self.data[self.pos]
        self.pos += 1
        return value

    def below(self, n):
        return self.byte() % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def one_in(self, n):
        return self.byte() % n == 0


class IndexState:
    """An index of the program and what the model knows of it."""

    def __init__(self, name, index):
        self.name = name
        self.index = index
        self.members = []  # slots, in the order they joined
        self.complete = set()  # members all of whose values are certainly indexed
        self.eligible = set()  # members some of whose values may be indexed
        self.reduced = False


class ViewState:
    def __init__(self, name, view, source, ids):
        self.name = name
        self.view = view
        self.source = source  # the IndexState whose value indexes the view reads
        self.ids = frozenset(ids)


class Program:
    """One decoded program: runs operation after operation until the bytes run out."""

    def __init__(self, data, stderr_file):
        self.reader = Reader(data)
        self.stderr_file = stderr_file
        self.lines = []
        self.objects = []  # slot -> object
        self.attrs = []  # slot -> {name: value} as the model holds it
        self.slot_of = {}  # id(object) -> slot
        self.indexes = []
        self.views = []
        self.order = set()  # (a, b): a was listed before b in some answer
        self.counter = 0
        self.cyclic = False
        self.sources = {}  # id(value) -> source text, for values this program made
        self.keepalive = []
        self.every_index = []  # every IndexState made, also those dropped since

    # ---------------------------------------------------------------- recording

    def say(self, line):
        self.lines.append(line)

    def fresh(self, prefix):
        self.counter += 1
        return f"{prefix}{self.counter}"

    def transcript(self):
        return HEADER + "\n".join(self.lines)

    def fail(self, message):
        raise Mismatch(f"{message}\n--- program ---\n{self.transcript()}\n---")

    def name(self, slot):
        return f"o{slot}"

    def names(self, slots):
        return "[" + ", ".join(self.name(s) for s in sorted(slots)) + "]"

    # ---------------------------------------------------------------- values

    def value(self, limit, depth=0):
        """A value for an attribute, with nested objects only from slots below `limit`."""
        value, src = self._value(limit, depth)
        self.keepalive.append(value)  # so that its id names it for the whole program
        self.sources[id(value)] = src
        return value, src

    def _value(self, limit, depth):
        r = self.reader
        kind = r.below(20)
        if kind < 7:
            return r.pick(SCALARS)
        if kind < 9:
            value, src = r.pick(UNKNOWNS)
            return (value() if callable(value) else value), src
        if kind < 12:
            held = self.ref(limit)
            if held is not None:
                return held
            return r.pick(SCALARS)
        if kind < 17 and depth < 2:
            return self.container(limit, depth)
        if kind == 17 and NUMPY:
            return r.pick(NUMPY)
        if kind == 18 and r.one_in(4):
            return r.pick(REFUSED)
        if kind == 19 and depth < 2:
            inner, src = self.value(limit, depth + 1)
            name = self.fresh("loop")
            loop = [inner]
            loop.append(loop)
            self.say(f"{name} = [{src}]; {name}.append({name})")
            return loop, name
        return r.pick(SCALARS)

    def ref(self, limit):
        if limit <= 0:
            return None
        slot = self.reader.below(limit)
        return self.objects[slot], self.name(slot)

    def container(self, limit, depth):
        r = self.reader
        shape = r.below(4)
        count = r.below(4)
        if shape == 2:  # a set: hashable elements only
            items = []
            for _ in range(count):
                value, src = r.pick(SCALARS[:-1] + [(None, "None")])
                if r.one_in(3):
                    held = self.ref(limit)
                    if held:
                        value, src = held
                items.append((value, src))
            value = {v for v, _ in items}
            return value, ("{" + ", ".join(s for _, s in items) + "}") if items else "set()"
        items = [self.value(limit, depth + 1) for _ in range(count)]
        if shape == 0:
            return [v for v, _ in items], "[" + ", ".join(s for _, s in items) + "]"
        if shape == 1:
            text = ", ".join(s for _, s in items) + ("," if len(items) == 1 else "")
            return tuple(v for v, _ in items), f"({text})"
        return {"k": items[0][0] if items else 0}, "{'k': " + (items[0][1] if items else "0") + "}"

    def limit_for(self, slot):
        """Objects that `slot` may hold: any in a cyclic program, else only older ones."""
        return len(self.objects) if self.cyclic else slot

    def operand(self):
        """An operand of eq/ne/in: any value, objects included."""
        return self.value(len(self.objects), depth=1)

    def number(self):
        r = self.reader
        if r.one_in(8):
            value, src = r.pick([("a", "'a'"), (True, "True"), (None, "None")])
        elif NUMPY and r.one_in(10):
            value, src = r.pick(NUMPY[:3])
        else:
            value, src = r.pick(SCALARS[:19])
        self.sources[id(value)] = src
        return value, src

    # ---------------------------------------------------------------- the model

    def leaves_at(self, slot, path):
        """Every leaf reached from object `slot` through the dotted `path`, canonical."""
        first, dot, rest = path.partition(".")
        attrs = self.attrs[slot]
        if first not in attrs:
            return
        for leaf in ref.leaves(attrs[first]):
            if not dot:
                yield canonical(leaf)
            elif isinstance(leaf, Indexable):
                yield from self.leaves_at(self.slot_of[id(leaf)], rest)

    def holders(self, domain, path, predicate):
        return {s for s in domain if any(predicate(leaf) for leaf in self.leaves_at(s, path))}

    def leaf_predicate(self, tree):
        op = tree[0]
        if op in ("eq", "ne"):
            return ref.equals(canonical(tree[2]))
        if op == "in":
            return ref.any_of([canonical(v) for v in tree[2]])
        if op == "bt":
            return ref.between(canonical(tree[2]), canonical(tree[3]))
        return ref.ordered(op, canonical(tree[2]))

    def bounds(self, tree, domain, source):
        """(fewest, most) objects of `domain` that the module may answer `tree` with."""
        op = tree[0]
        if op in ("and", "or"):
            parts = [self.bounds(sub, domain, source) for sub in tree[1]]
            if not parts:
                return set(), set()
            combine = set.intersection if op == "and" else set.union
            return combine(*[lo for lo, _ in parts]), combine(*[hi for _, hi in parts])
        if op in ("not", "ne"):
            inner = tree[1] if op == "not" else ("eq",) + tuple(tree[1:])
            lo, hi = self.bounds(inner, domain, source)
            return domain - hi, domain - lo
        path = tree[1]
        found = self.holders(domain, path, self.leaf_predicate(tree))
        if "." in path:
            # Nested indexes are never reduced; in a cyclic program an object is never
            # registered inside itself, so a path through a cycle may find less.
            return (set() if self.cyclic else found & source.complete), found
        return found & source.complete, found & source.eligible

    def keyword_bounds(self, keywords, domain, source):
        """Bounds of a keyword query; names are attribute names as they are (no paths)."""
        if not keywords:
            return set(), set()

        def select(candidates):
            found = set(candidates)
            for name, values in keywords:
                test = ref.any_of([canonical(v) for v in values])
                found = {s for s in found
                         if name in self.attrs[s]
                         and any(test(canonical(leaf)) for leaf in ref.leaves(self.attrs[s][name]))}
            return found

        return select(domain & source.complete), select(domain & source.eligible)

    # ---------------------------------------------------------------- checks

    def slots_of(self, found, what):
        slots = []
        for obj in found:
            slot = self.slot_of.get(id(obj))
            if slot is None or self.objects[slot] is not obj:
                self.fail(f"{what}: the answer holds {obj!r}, an object the program never made")
            slots.append(slot)
        if len(set(slots)) != len(slots):
            self.fail(f"{what}: the answer lists an object twice: {slots}")
        for i, a in enumerate(slots):
            for b in slots[i + 1:]:
                if (b, a) in self.order:
                    self.fail(f"{what}: {self.name(a)} listed before {self.name(b)}, "
                              f"another answer listed them the other way round")
                self.order.add((a, b))
        return set(slots)

    def check(self, found, lo, hi, what):
        assert lo <= hi, ("model bounds inverted", what)
        got = self.slots_of(found, what)
        if not lo <= got <= hi:
            wanted = self.names(lo) if lo == hi else f"{self.names(lo)} .. {self.names(hi)}"
            self.fail(f"{what}: got {self.names(got)}, expected {wanted}")
        return got

    def check_read(self, slot):
        obj = self.objects[slot]
        for name, value in self.attrs[slot].items():
            try:
                got = getattr(obj, name)
            except AttributeError:
                self.fail(f"{self.name(slot)}.{name} cannot be read back")
            plain = canonical(value)
            if type(plain) in (int, float, str, bool):
                same = type(got) is type(plain) and (
                    got == plain or (type(plain) is float and math.isnan(plain) and math.isnan(got)))
                if not same:
                    self.fail(f"{self.name(slot)}.{name} reads {got!r}, {plain!r} was written")
            elif got is not value:
                self.fail(f"{self.name(slot)}.{name} reads {got!r}, not the object written")
        text = repr(obj)
        if text != f"<Indexable with {len(self.attrs[slot])} attributes>":
            self.fail(f"repr({self.name(slot)}) is {text!r}")

    def expect_error(self, call, kind, pattern, what):
        try:
            call()
        except kind as exc:
            if pattern and not re.search(pattern, str(exc)):
                self.fail(f"{what}: {type(exc).__name__}({str(exc)!r}) does not say {pattern!r}")
            return
        except BaseException as exc:  # noqa: B036
            self.fail(f"{what}: raised {type(exc).__name__}({exc}), expected {kind.__name__}")
        self.fail(f"{what}: no error, expected {kind.__name__}")

    # ---------------------------------------------------------------- choices

    def pick_index(self):
        return self.reader.pick(self.indexes)

    def pick_target(self):
        """An index or a view, with the domain its queries answer within."""
        if self.views and self.reader.one_in(3):
            view = self.reader.pick(self.views)
            return view.name, view.view, set(view.ids), view.source, True
        state = self.pick_index()
        return state.name, state.index, set(state.members), state, False

    def keywords(self):
        """Keyword arguments: [(name, values the model tests, value passed, source)]."""
        r = self.reader
        result = []
        used = set()
        for _ in range(0 if r.one_in(10) else 1 + r.below(2)):
            name = r.pick(KEYWORDS[:4]) if not r.one_in(6) else r.pick(KEYWORDS)
            if name in used:
                continue
            used.add(name)
            shape = r.below(6)
            if shape < 3:
                value, src = self.operand()
                if isinstance(value, str) or not _iterable(value):
                    values = [value]
                else:
                    values = ref.keyword_values(value)
                result.append((name, values, lambda v=value: v, src))
            else:
                items = [self.operand() for _ in range(r.below(4))]
                values = [v for v, _ in items]
                inner = ", ".join(s for _, s in items)
                if shape == 3:
                    result.append((name, values, lambda v=values: list(v), f"[{inner}]"))
                elif shape == 4:
                    result.append((name, values, lambda v=values: tuple(v),
                                   f"({inner}{',' if len(items) == 1 else ''})"))
                else:
                    result.append((name, values, lambda v=values: (x for x in v),
                                   f"(v for v in [{inner}])"))
        return result

    def tree(self, depth=0):
        """An expression tree as reference_model.to_query takes it, and whether it may raise."""
        r = self.reader
        kind = r.below(10)
        if kind >= 8 and depth < 3:
            if kind == 8:
                op = r.pick(["and", "or"])
                parts = [self.tree(depth + 1) for _ in range(r.below(4))]
                return (op, [t for t, _ in parts]), any(bad for _, bad in parts)
            inner, bad = self.tree(depth + 1)
            return ("not", inner), bad
        path = r.pick(PATHS)
        op = r.pick(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in", "eq", "in"])
        if op in ("eq", "ne"):
            value, _ = self.operand()
            return (op, path, value), refused(value)
        if op == "in":
            values = [self.operand()[0] for _ in range(r.below(4))]
            return (op, path, values), refused(values)
        if op == "bt":
            lo, hi = self.number()[0], self.number()[0]
            numeric = all(type(canonical(b)) in (int, float) for b in (lo, hi))
            return (op, path, lo, hi), not numeric or refused([lo, hi])
        if r.one_in(10) and self.objects:
            bound = self.ref(len(self.objects))[0]
            return (op, path, bound), True
        bound = self.number()[0]
        return (op, path, bound), refused(bound)

    def tree_src(self, tree):
        op = tree[0]
        if op in ("and", "or"):
            return f"Q.{op}_(" + ", ".join(self.tree_src(t) for t in tree[1]) + ")"
        if op == "not":
            return f"Q.not_({self.tree_src(tree[1])})"
        if op == "in":
            return f"Q.in_({tree[1]!r}, [" + ", ".join(self.src(v) for v in tree[2]) + "])"
        return f"Q.{op}(" + ", ".join([repr(tree[1])] + [self.src(v) for v in tree[2:]]) + ")"

    def src(self, value):
        """Source text for an operand (objects by name)."""
        if id(value) in self.sources:
            return self.sources[id(value)]
        if isinstance(value, Indexable):
            return self.name(self.slot_of[id(value)])
        if isinstance(value, float):
            if math.isnan(value):
                return "nan"
            if math.isinf(value):
                return "inf" if value > 0 else "-inf"
        if value is OPAQUE[0] or value is OPAQUE[1]:
            return f"op{OPAQUE.index(value)}"
        if isinstance(value, list):
            return "[" + ", ".join(self.src(v) for v in value if v is not value) + "]"
        if numpy is not None and isinstance(value, numpy.generic):
            return f"np.{type(value).__name__}({value.item()!r})"
        return repr(value)

    # ---------------------------------------------------------------- operations

    def run(self):
        self.cyclic = self.reader.one_in(4) if self.reader.data else False
        if self.cyclic:
            self.say("# objects may hold each other in cycles")
        self.new_index()
        weights = [
            (self.new_object, 3), (self.write, 5), (self.add, 3), (self.get_by_attribute, 2),
            (self.reduced, 2), (self.reduced_query, 4), (self.group_by, 2), (self.reduce, 1),
            (self.union_with, 1), (self.rebase, 1), (self.collect, 1), (self.new_index, 1),
            (self.errors, 1), (self.drop, 1), (self.read, 1), (self.delete, 1)]
        ops = [op for op, weight in weights for _ in range(weight)]
        try:
            try:
                while True:
                    self.reader.pick(ops)()
            except Exhausted:
                pass
            self.final_checks()
        except (Mismatch, KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: B036 - the module's internal error too
            self.fail(f"unexpected {type(exc).__name__}: {exc}")

    def final_checks(self):
        for state in self.indexes:
            members = set(state.members)
            self.check(state.index.collect(), members, members, f"{state.name}.collect()")
        for view in self.views:
            self.check(view.view.collect(), set(view.ids), set(view.ids), f"{view.name}.collect()")
        for slot in range(len(self.objects)):
            self.check_read(slot)

    def new_index(self):
        name = self.fresh("i")
        state = IndexState(name, Index())
        self.every_index.append(state)
        self.say(f"{name} = Index()")
        if len(self.indexes) >= MAX_INDEXES:
            self.indexes[self.reader.below(MAX_INDEXES) if self.reader.data else 0] = state
        else:
            self.indexes.append(state)

    def keep_view(self, view, source, ids, name):
        state = ViewState(name, view, source, ids)
        if len(self.views) >= MAX_VIEWS:
            self.views[self.reader.below(MAX_VIEWS)] = state
        else:
            self.views.append(state)

    def new_object(self):
        r = self.reader
        if len(self.objects) >= MAX_OBJECTS:
            return self.write()
        cls = Node if r.one_in(3) else Indexable
        slot = len(self.objects)
        pairs = {}
        texts = []
        for _ in range(r.below(4)):
            name = r.pick(ATTRS) if not r.one_in(12) else r.pick(RARE_ATTRS)
            value, src = self.value(self.limit_for(slot))
            if name in pairs:
                continue
            pairs[name] = value
            texts.append((name, src))
        line = f"{self.name(slot)} = {cls.__name__}({fmt_kwargs(texts)})"
        self.say(line)
        try:
            obj = cls(**pairs)
        except PANIC:
            if not refused(list(pairs.values())):
                self.fail(f"{line}: the internal-error exception for storable values")
            self.lines[-1] = f"# refused: {line}"
            return
        self.objects.append(obj)
        self.attrs.append(dict(pairs))
        self.slot_of[id(obj)] = slot
        self.check_read(slot)

    def write(self):
        r = self.reader
        if not self.objects:
            return self.new_object()
        slot = r.below(len(self.objects))
        name = r.pick(ATTRS) if not r.one_in(12) else r.pick(RARE_ATTRS)
        value, src = self.value(self.limit_for(slot))
        line = f"setattr({self.name(slot)}, {name!r}, {src})" if not name.isidentifier() \
            else f"{self.name(slot)}.{name} = {src}"
        self.say(line)
        try:
            setattr(self.objects[slot], name, value)
        except PANIC:
            if not refused(value):
                self.fail(f"{line}: the internal-error exception for a storable value")
            self.lines[-1] = f"# refused: {line}"
            self.check_read(slot)
            return
        self.attrs[slot][name] = value
        for state in self.every_index:  # views of dropped indexes still read their values
            if state.reduced and slot in state.members:
                state.eligible.add(slot)
        self.check_read(slot)

    def delete(self):
        if not self.objects:
            return
        slot = self.reader.below(len(self.objects))
        name = self.reader.pick(ATTRS)
        self.say(f"del {self.name(slot)}.{name}  # AttributeError")
        self.expect_error(lambda: delattr(self.objects[slot], name), AttributeError,
                          "can't delete attribute", f"del {self.name(slot)}.{name}")
        self.check_read(slot)

    def join(self, state, slots):
        for slot in slots:
            if slot not in state.members:
                state.members.append(slot)
                state.complete.add(slot)
            # Adding a member again may index its values again.
            state.eligible.add(slot)

    def add(self):
        r = self.reader
        if not self.objects:
            return
        state = self.pick_index()
        slots = [r.below(len(self.objects)) for _ in range(1 + r.below(3))]
        how = r.below(3)
        objs = [self.objects[s] for s in slots]
        listed = ", ".join(self.name(s) for s in slots)
        if how == 0:
            for s in slots:
                self.say(f"{state.name}.add_object({self.name(s)})")
                state.index.add_object(self.objects[s])
        elif how == 1:
            self.say(f"{state.name}.add_object_many([{listed}])")
            state.index.add_object_many(objs)
        else:
            self.say(f"{state.name}.add_object_many(({listed},))")
            state.index.add_object_many(tuple(objs))
        self.join(state, slots)

    def keyword_call(self, call, kw, label):
        """Runs a keyword query; None when the module refused an operand (allowed)."""
        args = {name: make() for name, _, make, _ in kw}
        try:
            return call(**args)
        except PANIC:
            if not any(refused(values) for _, values, _, _ in kw):
                self.fail(f"{label}: the internal-error exception for plain keyword values")
            return None

    def get_by_attribute(self):
        state = self.pick_index()
        kw = self.keywords()
        label = f"{state.name}.get_by_attribute({fmt_kwargs([(n, s) for n, _, _, s in kw])})"
        self.say(label)
        found = self.keyword_call(state.index.get_by_attribute, kw, label)
        if found is not None:
            lo, hi = self.keyword_bounds([(n, v) for n, v, _, _ in kw], set(state.members), state)
            self.check(found, lo, hi, label)

    def reduced(self):
        name, target, domain, source, _ = self.pick_target()
        kw = self.keywords()
        view_name = self.fresh("v")
        label = f"{view_name} = {name}.reduced({fmt_kwargs([(n, s) for n, _, _, s in kw])})"
        self.say(label)
        view = self.keyword_call(target.reduced, kw, label)
        if view is None:
            return
        if type(view) is not FilteredIndex:
            self.fail(f"{label}: got a {type(view).__name__}")
        lo, hi = self.keyword_bounds([(n, v) for n, v, _, _ in kw], domain, source)
        got = self.check(view.collect(), lo, hi, label)
        self.keep_view(view, source, got, view_name)

    def reduced_query(self):
        name, target, domain, source, _ = self.pick_target()
        tree, may_raise = self.tree()
        view_name = self.fresh("v")
        label = f"{view_name} = {name}.reduced_query({self.tree_src(tree)})"
        self.say(label)
        try:
            view = target.reduced_query(ref.to_query(tree))
            found = view.collect()
        except PANIC:
            if not may_raise:
                self.fail(f"{label}: the internal-error exception for a query that can be answered")
            self.lines[-1] = f"# internal error: {label}"
            return
        lo, hi = self.bounds(tree, domain, source)
        got = self.check(found, lo, hi, label)
        self.keep_view(view, source, got, view_name)

    def group_by(self):
        r = self.reader
        state = self.pick_index()
        path = r.pick(PATHS)
        label = f"{state.name}.group_by({path!r})"
        self.say(label)
        members = set(state.members)
        expected = {}  # tag -> [key, holders]
        unhashable = False
        for slot in members:
            for leaf in self.leaves_at(slot, path):
                tag = ref.group_tag(leaf)
                if tag is None:
                    continue
                if tag[0] == "object":
                    try:
                        hash(leaf)
                    except TypeError:
                        unhashable = True
                entry = expected.setdefault(tag, [[], set()])
                entry[0].append(leaf)
                entry[1].add(slot)
        try:
            groups = state.index.group_by(path)
        except TypeError as exc:
            if unhashable and "unhashable" in str(exc):
                self.lines[-1] += "  # TypeError: an unhashable key"
                return
            self.fail(f"{label}: TypeError({exc})")
        exact = not state.reduced and not (self.cyclic and "." in path)
        # Python dict keys merge values that compare equal (True, 1 and 1.0): one group per class.
        if exact and unhashable:
            self.fail(f"{label}: no TypeError, though a member holds an unhashable value there")
        classes = {}
        for tag, (leaves_seen, holders) in expected.items():
            if tag[0] == "object" and not _hashable(leaves_seen[0]):
                continue  # never a key of the module's dict
            key = leaves_seen[0]
            if tag[0] == "number":
                key = key if all(type(v) is int for v in leaves_seen) else float(key)
            classes.setdefault(key, []).append((key, holders))
        plain = {}
        for key, view in groups.items():
            if type(view) is not FilteredIndex:
                self.fail(f"{label}: group {key!r} is a {type(view).__name__}")
            got = self.slots_of(view.collect(), f"{label}[{key!r}]")
            if not got:
                self.fail(f"{label}: group {key!r} is empty")
            if not got <= members:
                self.fail(f"{label}: group {key!r} holds non-members {self.names(got - members)}")
            if type(key) is float and math.isnan(key):
                for s in got:
                    if not any(type(v) is float and math.isnan(v) for v in self.leaves_at(s, path)):
                        self.fail(f"{label}: {self.name(s)} is in the NaN group without a NaN")
            else:
                plain[key] = got
                candidates = classes.get(key)
                if candidates is None:
                    self.fail(f"{label}: group {key!r} is no value a member holds")
                if exact:
                    if got not in [h for _, h in candidates]:
                        self.fail(f"{label}: group {key!r} holds {self.names(got)}, expected one "
                                  f"of {[self.names(h) for _, h in candidates]}")
                    if len(candidates) == 1:
                        wanted = candidates[0][0]
                        if type(key) is not type(wanted) or key != wanted:
                            self.fail(f"{label}: key {key!r}, expected {wanted!r}")
                elif not any(got <= h for _, h in candidates):
                    self.fail(f"{label}: group {key!r} holds {self.names(got)}, more than "
                              f"{[self.names(h) for _, h in candidates]}")
            self.keep_view(view, state, got, self.fresh("g"))
        if exact and len(plain) != len(classes):
            self.fail(f"{label}: keys {sorted(map(repr, plain))}, expected "
                      f"{sorted(map(repr, classes))}")

    def reduce(self):
        state = self.pick_index()
        kw = self.keywords()
        text = fmt_kwargs([(n, s) for n, _, _, s in kw])
        label = f"{state.name}.get_by_attribute({text})"
        self.say(label)
        found = self.keyword_call(state.index.get_by_attribute, kw, label)
        if found is None:
            self.say(f"# refused: {state.name}.reduce({text})")
            return
        lo, hi = self.keyword_bounds([(n, v) for n, v, _, _ in kw], set(state.members), state)
        kept = self.check(found, lo, hi, label)
        self.say(f"{state.name}.reduce({text})")
        if self.keyword_call(state.index.reduce, kw, f"{state.name}.reduce({text})") is not None:
            self.fail(f"{state.name}.reduce({text}) returned something")
        state.reduced = True
        state.complete &= kept
        state.eligible = set(kept)

    def union_with(self):
        r = self.reader
        a, b = self.pick_index(), self.pick_index()
        label = f"{a.name}.union_with({b.name})"
        self.say(label)
        shared = set().union(*[self.attrs[s].keys() for s in a.members]) & \
            set().union(*[self.attrs[s].keys() for s in b.members])
        f = self.stderr_file
        f.seek(0)
        f.truncate()
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(f.fileno(), 2)
        try:
            result = a.index.union_with(b.index)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        f.seek(0)
        lines = f.read().decode("utf-8", "replace").splitlines()
        if result is not None:
            self.fail(f"{label} returned {result!r}")
        if a is b:
            if r.one_in(2):
                self.collect_index(a)
            return
        for line in lines:
            if not MERGE_LINE.fullmatch(line):
                self.fail(f"{label}: unexpected line on standard error: {line!r}")
        if len(lines) != len(shared):
            self.fail(f"{label}: {len(lines)} merge lines, expected {len(shared)} "
                      f"(attributes both have: {sorted(shared)})")
        self.join(a, list(b.members))

    def rebase(self):
        if not self.views:
            return
        view = self.reader.pick(self.views)
        name = self.fresh("i")
        self.say(f"{name} = {view.name}.rebase()")
        index = view.view.rebase()
        if type(index) is not Veldrake.Index:
            self.fail(f"{view.name}.rebase() gave a {type(index).__name__}")
        state = IndexState(name, index)
        self.every_index.append(state)
        self.join(state, sorted(view.ids))
        self.collect_index(state)
        if len(self.indexes) >= MAX_INDEXES:
            self.indexes[self.reader.below(MAX_INDEXES)] = state
        else:
            self.indexes.append(state)

    def collect_index(self, state):
        self.say(f"{state.name}.collect()")
        members = set(state.members)
        self.check(state.index.collect(), members, members, f"{state.name}.collect()")

    def collect(self):
        if self.views and self.reader.one_in(2):
            view = self.reader.pick(self.views)
            self.say(f"{view.name}.collect()")
            self.check(view.view.collect(), set(view.ids), set(view.ids), f"{view.name}.collect()")
        else:
            self.collect_index(self.pick_index())

    def drop(self):
        r = self.reader
        if self.views and r.one_in(2):
            view = self.views.pop(r.below(len(self.views)))
            self.say(f"del {view.name}")
        elif len(self.indexes) > 1:
            state = self.indexes.pop(r.below(len(self.indexes)))
            self.say(f"del {state.name}")
        if r.one_in(4):
            self.say("gc.collect()")
            gc.collect()

    def read(self):
        if self.objects:
            self.check_read(self.reader.below(len(self.objects)))

    def errors(self):
        r = self.reader
        state = self.pick_index()
        i = state.index
        choice = r.below(9)
        if choice == 0:
            bad, src = r.pick([(5, "5"), (None, "None"), ("a", "'a'"), (i, state.name)])
            self.say(f"{state.name}.add_object({src})  # TypeError")
            self.expect_error(lambda: i.add_object(bad), TypeError, "argument 'py_ref'",
                              f"{state.name}.add_object({src})")
        elif choice == 1:
            self.say(f"{state.name}.add_object_many('ab')  # TypeError")
            self.expect_error(lambda: i.add_object_many("ab"), TypeError,
                              "argument 'objs': Can't extract `str` to `Vec`",
                              f"{state.name}.add_object_many('ab')")
        elif choice == 2:
            self.say(f"{state.name}.reduced_query('x')  # TypeError")
            self.expect_error(lambda: i.reduced_query("x"), TypeError, "argument 'query'",
                              f"{state.name}.reduced_query('x')")
        elif choice == 3:
            self.say(f"{state.name}.group_by(5)  # TypeError")
            self.expect_error(lambda: i.group_by(5), TypeError, "argument 'attr'",
                              f"{state.name}.group_by(5)")
        elif choice == 4 and self.views:
            view = r.pick(self.views)
            self.say(f"{state.name}.union_with({view.name})  # TypeError")
            self.expect_error(lambda: i.union_with(view.view), TypeError, "argument 'other'",
                              f"{state.name}.union_with({view.name})")
        elif choice == 5:
            self.say("FilteredIndex()  # TypeError")
            self.expect_error(FilteredIndex, TypeError, "No constructor defined for FilteredIndex",
                              "FilteredIndex()")
        elif choice == 6:
            self.say("Q()  # TypeError")
            self.expect_error(Q, TypeError, "No constructor defined for", "Q()")
        elif choice == 7:
            self.say("Indexable.__new__(Index)  # TypeError")
            self.expect_error(lambda: Indexable.__new__(Index), TypeError, None,
                              "Indexable.__new__(Index)")
        else:
            self.say("Index.__new__(Indexable)  # TypeError")
            self.expect_error(lambda: Index.__new__(Indexable), TypeError, None,
                              "Index.__new__(Indexable)")


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _iterable(value):
    try:
        iter(value)
    except TypeError:
        return False
    return True


_STDERR = None


def run(data):
    """Runs the program `data` decodes to; raises Mismatch on a wrong answer."""
    global _STDERR
    if _STDERR is None:
        _STDERR = tempfile.TemporaryFile()
    Program(data, _STDERR).run()


def describe(data):
    """The program `data` decodes to, as Python source, and the error it ends with (if any)."""
    global _STDERR
    if _STDERR is None:
        _STDERR = tempfile.TemporaryFile()
    program = Program(data, _STDERR)
    try:
        program.run()
    except Mismatch as exc:
        return str(exc)
    return program.transcript()
