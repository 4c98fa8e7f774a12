"""The random driver of the tests: operations on objects, indexes and views, each answer checked
against a plain-Python model (tests/python/reference_model.py).

A source of choices (fuzz input bytes, a random.Random, hypothesis draws) picks every operation
(OPERATIONS) and every value, refused ones and lists that hold themselves too (Program.value).
Alone, a program checks every answer; agents (other threads on the same program) only check that
answers hold possible members, and `check_all` checks everything once they stop.

The model reads the objects' attributes as they are (each write is first checked to read back).
Where the module is free, it gives bounds: after `reduce`, a member is "complete" (its values
certainly indexed) or only "eligible" (some may be); the attributes written since are certainly
indexed again, and so are the paths through them. In a quarter of the programs objects may
hold each other in cycles. A failure names the operation that went wrong; the same choices
(fuzz input or seed) replay it.
"""

import copy
import datetime
import decimal
import enum
import fractions
import gc
import os
import sys
import threading
import types
from collections import namedtuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

import reference_model as ref  # noqa: E402
from Veldrake import FilteredIndex, Index, Indexable, PyQueryExpr as Q  # noqa: E402, F401

try:
    import numpy
except ImportError:  # optional (PyPy, 32-bit)
    numpy = None

nan, inf, LONG = float("nan"), float("inf"), "x" * 40


class Node(Indexable):
    def describe(self):
        return "node"


class Opaque:  # a value of no kind the module knows: stored, never found by value
    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"Opaque({self.tag!r})"


class Color(enum.IntEnum):  # an int of no indexed kind
    RED = 1


class Shade(enum.Enum):
    RED = 1


OPAQUE = [Opaque("p"), Opaque("q")]

SCALARS = [0, 1, 2, -1, 7, 0.0, 1.0, 2.5, -0.0, -1.0, 2**53, 2**53 + 1, 2.0**53, 2**63 - 1,
           -(2**63), 5e-324, nan, inf, -inf, True, False, "a", "b", "", "\u00e9t\u00e9", LONG, None]
NUMBERS = SCALARS[:19]
# Equal values in distinct objects: bytes match by content, the others by identity only.
UNKNOWNS = [b"xy", b"", bytes([120, 121]), frozenset({1}), frozenset({1}), Color.RED, Shade.RED,
            Shade, len, *OPAQUE, 1j, decimal.Decimal(1), fractions.Fraction(1, 2),
            lambda: bytearray(b"z")]
REFUSED = [2**64, -(2**63) - 1, 2**70, -(10**400), "\ud800"]  # beyond 64 bits, not valid UTF-8
NUMPY = [] if numpy is None else [numpy.int64(5), numpy.int64(2**62), numpy.float64(2.5),
                                  numpy.bool_(True), numpy.str_("a"), numpy.int64(1)]
# Ordered values beyond numbers, each kind apart: the same instant in two zones, a date and a
# datetime of one day, the ends of each range, numpy numbers of other widths and numpy times in
# several units (equal ones, one beyond nanoseconds, NaT).
DAY, PLUS1 = datetime.date(2024, 1, 2), datetime.timezone(datetime.timedelta(hours=1))
TIMES = [DAY, datetime.datetime(2024, 1, 2), datetime.datetime(2024, 1, 2, 0, 0, 0, 1),
         datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
         datetime.datetime(2024, 1, 2, 1, tzinfo=PLUS1),
         datetime.datetime(2024, 1, 2, tzinfo=PLUS1),
         datetime.date(1, 1, 1), datetime.date(9999, 12, 31), datetime.datetime.min,
         datetime.timedelta(days=1), datetime.timedelta(0), datetime.timedelta(microseconds=-1),
         datetime.timedelta.max] + ([] if numpy is None else [
             numpy.int32(1), numpy.float32(0.5), numpy.int8(-1), numpy.uint16(1),
             numpy.uint64(2**63 - 1), numpy.float16(0.5), numpy.float32(0.1),
             numpy.datetime64("2024-01-02"), numpy.datetime64("2024-01-02T00:00", "s"),
             numpy.datetime64("2024-01-02T00:00:00.000000001"), numpy.datetime64("2024-01", "M"),
             numpy.datetime64("3000-01-01"), numpy.datetime64("NaT"), numpy.timedelta64(1, "D"),
             numpy.timedelta64(86400, "s"), numpy.timedelta64("NaT")])
ATTRS = ["x", "y", "tags", "owner"]
RARE_ATTRS = ["", "a.b", "n\u00e9"]
PATHS = ["x", "y", "tags", "owner", "owner.x", "owner.y", "owner.tags", "owner.owner.x",
         "owner.tags.owner.x", "tags.x", "tags.owner.y", "x.y", "zz", "", "owner.", "a.b", "n\u00e9"]
GROUP_PATHS = ["x", "y", "tags", "owner.x", "owner.owner.x"]


def _panic_type():
    """The class of the module's internal-error exception, learnt from a value it refuses."""
    try:
        Indexable(probe=2**64)
    except BaseException as exc:  # noqa: B036 - it derives from BaseException only
        return type(exc)
    return type("NeverRaised", (BaseException,), {})


PANIC, PANICKED = _panic_type(), object()


class Mismatch(AssertionError):
    """An answer that the model does not allow."""


class Exhausted(Exception):
    """The choices have run out: the program ends here."""


class Choices:
    """Where decisions come from; subclasses define below(n), a number in [0, n)."""

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def one_in(self, n):
        return self.below(n) == 0


class ByteChoices(Choices):
    """Decisions read from fuzz input, a byte each."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def below(self, n):
        if self.pos >= len(self.data):
            raise Exhausted
        self.pos += 1
        return self.data[self.pos - 1] % n


class RandomChoices(Choices):
    def __init__(self, rng):
        self.below = rng.randrange


def refused(value):
    """True when the module refuses `value` (or a leaf in it) as a value or an operand."""
    for leaf in ref.leaves(value):
        if type(leaf) is int and not -(2**63) <= leaf < 2**63:
            return True
        if type(leaf) is str:
            try:
                leaf.encode("utf-8")
            except UnicodeEncodeError:
                return True
    return False


def canonical(leaf):
    """A numpy scalar as the plain Python value the module reads it as (times stay as they are)."""
    if numpy is None or not isinstance(leaf, numpy.generic):
        return leaf
    return leaf if isinstance(leaf, (numpy.datetime64, numpy.timedelta64)) else leaf.item()


def group_key(value):
    """A group key as a dict finds it: numpy 1.x hashes equal times of different units apart."""
    if numpy is not None and isinstance(value, (numpy.datetime64, numpy.timedelta64)):
        return ref.group_tag(value)
    return value


def hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


class IndexState:
    """An index of the program and what the model knows of it."""

    def __init__(self, name, index):
        self.name, self.index = name, index
        self.members = set()  # slots certainly in (their add returned)
        self.possible = set()  # slots that may be in (their add started)
        self.complete = set()  # members all of whose values are certainly indexed
        self.eligible = set()  # members some of whose values may be indexed
        self.seen = {}  # members the last reduce dropped: attributes written since
        self.gone = set()  # slots other threads removed (or are removing)
        self.reduced = False
        self.fuzzy = False  # reduced while other threads ran: only upper bounds hold


ViewState = namedtuple("ViewState", "name view source slots")


class Program:
    """One program: operations chosen by `choices` on a few objects, indexes and views."""

    max_objects, max_indexes, max_views = 12, 3, 6

    def __init__(self, choices):
        self.choices = choices
        self.objects, self.written, self.slot_of = [], [], {}  # written: what each slot was given
        self.indexes, self.views = [], []
        self.keepalive, self.order = [], set()
        self.counter = 0
        self.cyclic = False
        self.exact = True  # False in agents: other threads run at the same time
        self.lock = threading.RLock()

    def agent(self, choices):
        """A view of this program for another thread: same objects, indexes and model."""
        other = copy.copy(self)
        other.choices, other.exact = choices, False
        return other

    # ---------------------------------------------------------------- checking

    def attempt(self, label, may_refuse, call):
        """call(), or PANICKED when it raised the module's internal error (which only a value or
        operand the module refuses allows)."""
        try:
            return call()
        except PANIC:
            if not may_refuse:
                self.fail(f"{label}: the internal-error exception, yet nothing was refused")
            return PANICKED

    def fresh(self, prefix):
        self.counter += 1
        return f"{prefix}{self.counter}"

    def fail(self, message):
        raise Mismatch(message)

    def name(self, slot):
        return f"o{slot}"

    def listed(self, slots):
        return "[" + ", ".join(map(self.name, sorted(slots))) + "]"

    def slots_of(self, found, what, in_order=True):
        slots = []
        for obj in found:
            slot = self.slot_of.get(id(obj))
            if slot is None or self.objects[slot] is not obj:
                self.fail(f"{what}: the answer holds {obj!r}, an object the program never made")
            slots.append(slot)
        if len(set(slots)) != len(slots):
            self.fail(f"{what}: the answer lists an object twice: {slots}")
        # Every answer lists objects in one order (but order_by's).
        if in_order and self.exact and self.order is not None:
            for i, a in enumerate(slots):
                for b in slots[i + 1:]:
                    if (b, a) in self.order:
                        self.fail(f"{what}: {self.name(a)} before {self.name(b)}, against an "
                                  "earlier answer")
                    self.order.add((a, b))
        return set(slots)

    def check(self, found, lo, hi, what):
        got = self.slots_of(found, what)
        if not lo <= got <= hi:
            wanted = self.listed(lo) if lo == hi else f"{self.listed(lo)} .. {self.listed(hi)}"
            self.fail(f"{what}: got {self.listed(got)}, expected {wanted}")
        return got

    def check_read(self, slot):
        obj = self.objects[slot]
        for name, value in self.written[slot].items():
            got, plain = getattr(obj, name, AttributeError), canonical(value)
            if type(plain) in (int, float, str, bool):
                same = got == plain or ref.is_nan(plain) and ref.is_nan(got)
                if type(got) is not type(plain) or not same:
                    self.fail(f"{self.name(slot)}.{name} reads {got!r}, {plain!r} was written")
            elif got is not value:
                self.fail(f"{self.name(slot)}.{name} reads {got!r}, not the object written")

    # ---------------------------------------------------------------- the model

    def leaves_at(self, slot, path):
        return map(canonical, ref.path_leaves(self.objects[slot], path))

    def holders(self, domain, path, predicate):
        return {s for s in domain if any(predicate(leaf) for leaf in self.leaves_at(s, path))}

    def bounds(self, tree, domain, state):
        """(fewest, most) objects of `domain` that the module may answer `tree` with."""
        if not self.exact:
            return self.possible(domain)
        op = tree[0]
        if op in ("and", "or"):
            parts = [self.bounds(sub, domain, state) for sub in tree[1]]
            combine = set.intersection if op == "and" else set.union
            return (combine(*[lo for lo, _ in parts]), combine(*[hi for _, hi in parts])) \
                if parts else (set(), set())
        if op in ("not", "ne"):
            lo, hi = self.bounds(tree[1] if op == "not" else ("eq", *tree[1:]), domain, state)
            return domain - hi, domain - lo
        plain = [canonical(v) for v in tree[2:]]
        predicate = {"eq": ref.equals, "bt": ref.between,
                     "in": lambda vs: ref.any_of(map(canonical, vs))}.get(op)
        found = self.holders(domain, tree[1], predicate(*plain) if predicate
                             else ref.ordered(op, plain[0]))
        first = tree[1].partition(".")[0]
        rewritten = {s for s in found if first in state.seen.get(s, ())}
        return found & state.complete | rewritten, found & state.eligible

    def possible(self, domain):
        """Bounds while other threads run: any object that may be in `domain` now (an index's
        set of possible members is read only now, after the answer: adds may have finished)."""
        with self.lock:
            return set(), set(domain)

    def keyword_bounds(self, keywords, domain, state):
        """Bounds of a keyword query: names are attribute names as they are, not paths."""
        if not keywords:
            return set(), set()
        if not self.exact:
            return self.possible(domain)

        def select(found):
            for name, values, _ in keywords:
                test = ref.any_of(map(canonical, values))
                found = {s for s in found if any(
                    test(canonical(leaf)) for leaf in ref.leaves(getattr(self.objects[s], name, ())))}
            return found

        rewritten = {s for s in domain if all(n in state.seen.get(s, ()) for n, _, _ in keywords)}
        return select(domain & state.complete | rewritten), select(domain & state.eligible)

    # ---------------------------------------------------------------- generating

    def value(self, limit, depth=0):
        """A value for an attribute or an operand, with objects only from slots below `limit`."""
        c = self.choices
        kind = c.below(20)
        if kind < 7:
            return c.pick(SCALARS)
        if kind < 9:
            made = c.pick(UNKNOWNS)
            return made() if isinstance(made, types.FunctionType) else made
        if kind < 12 and limit > 0:
            return self.objects[c.below(limit)]
        if kind < 17 and depth < 2:
            shape, count = c.below(4), c.below(4)
            if shape == 2:  # a set: hashable elements only
                return {c.pick(SCALARS) if c.below(3) or not limit else self.objects[c.below(limit)]
                        for _ in range(count)}
            items = [self.value(limit, depth + 1) for _ in range(count)]
            return (list, tuple, None, lambda i: {"k": i[0] if i else 0})[shape](items)
        if kind == 17:
            return c.pick(NUMPY + TIMES)
        if kind == 18 and c.one_in(4):
            return c.pick(REFUSED)
        if kind == 19 and depth < 2:
            loop = [self.value(limit, depth + 1)]
            loop.append(loop)
            self.keepalive.append(loop)
            return loop
        return c.pick(SCALARS)

    def number(self):
        c = self.choices
        if c.one_in(8):
            return c.pick(["a", True, None])
        if c.one_in(6):
            return c.pick(TIMES)
        return c.pick(NUMPY[:3]) if NUMPY and c.one_in(10) else c.pick(NUMBERS)

    def limit_for(self, slot):
        """Objects that `slot` may hold: any in a cyclic program, else only older ones."""
        return len(self.objects) if self.cyclic else slot

    def keywords(self):
        """Keyword arguments: [(name, values the model tests, maker of the argument)]."""
        c, result = self.choices, []
        for _ in range(0 if c.one_in(10) else 1 + c.below(2)):
            name = c.pick(ATTRS) if not c.one_in(6) else c.pick(["zz", "", "a.b"])
            if any(name == n for n, _, _ in result):
                continue
            shape = c.below(7)
            if shape < 3:
                value = self.value(len(self.objects), 1)
                values = ref.keyword_values(value)
                result.append((name, values, lambda v=value: v))
            elif shape == 6:  # a set or a dict's keys: of equal values (1, 1.0, True) one stays
                made = {c.pick(SCALARS) for _ in range(c.below(4))}
                made = made if c.one_in(2) else dict.fromkeys(made).keys()
                result.append((name, list(made), lambda m=made: m))
            else:
                values = [self.value(len(self.objects), 1) for _ in range(c.below(4))]
                make = [list, tuple, lambda v: (x for x in v)][shape - 3]
                result.append((name, values, lambda v=values, m=make: m(v)))
        return result

    def tree(self, depth=0):
        """An expression tree (see reference_model.to_query) and whether it may be refused."""
        c = self.choices
        kind = c.below(10)
        if kind == 8 and depth < 3:
            parts = [self.tree(depth + 1) for _ in range(c.below(4))]
            return (c.pick(["and", "or"]), [t for t, _ in parts]), any(bad for _, bad in parts)
        if kind == 9 and depth < 3:
            inner, bad = self.tree(depth + 1)
            return ("not", inner), bad
        path, op = c.pick(PATHS), c.pick(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in", "eq", "in"])
        if op in ("eq", "ne"):
            value = self.value(len(self.objects), 1)
            return (op, path, value), refused(value)
        if op == "in":
            values = [self.value(len(self.objects), 1) for _ in range(c.below(4))]
            return (op, path, values), refused(values)
        if op == "bt":
            lo, hi = self.number(), self.number()
            return (op, path, lo, hi), not all(ref.is_number(canonical(b)) for b in (lo, hi))
        if c.one_in(10) and self.objects:
            return (op, path, self.objects[c.below(len(self.objects))]), True
        bound = self.number()
        return (op, path, bound), False

    # ---------------------------------------------------------------- running

    def run(self, steps=None):
        """Runs operations until the choices run out (or for `steps`), then checks everything."""
        try:
            self.new_index()
            try:
                self.cyclic = self.choices.one_in(4)
                while steps is None or steps > 0:
                    self.step()
                    steps = None if steps is None else steps - 1
            except Exhausted:
                pass
            self.check_all()
        except (Mismatch, KeyboardInterrupt):
            raise
        except BaseException as exc:  # noqa: B036 - the module's internal error too
            self.fail(f"unexpected {type(exc).__name__}: {exc}")

    def step(self):
        """Runs one operation; returns its name."""
        name = self.choices.pick(OPERATIONS)
        getattr(self, name)()
        return name

    def sync(self):
        """After other threads ran: learns what each index and view holds and what was last
        written."""
        self.views[:] = [view._replace(slots=frozenset(self.check(
            view.view.collect(), view.slots - view.source.gone, view.slots, f"{view.name}.collect()")))
            for view in self.views]
        for state in self.indexes:
            got = self.slots_of(state.index.collect(), f"{state.name}.collect()")
            if not state.members - state.gone <= got <= state.possible:
                self.fail(f"{state.name} holds {self.listed(got)}, expected "
                          f"{self.listed(state.members)} .. {self.listed(state.possible)}")
            self.forget(state, state.possible - got)
            self.join(state, got - state.members)
            state.gone.clear()
        for slot, obj in enumerate(self.objects):
            self.written[slot] = {name: getattr(obj, name) for name in self.written[slot]}

    def check_all(self, paths=PATHS):
        """Checks every index and view: members, simple comparisons on `paths`, groups, orders."""
        for slot in range(len(self.objects)):
            self.check_read(slot)
        sweep = [(op, path, v) for path in paths[:9] for op in ("eq", "ne")
                 for v in [0, 1.0, 2**53 + 1, "a", True, None, nan] + self.objects[:2]]
        sweep += [(op, path, b) for path in paths[:9] for op in ("gt", "ge", "lt", "le")
                  for b in (0, 1.0, 2**53, -inf)] + [("bt", path, 0, 2) for path in paths]
        for state in self.indexes:
            self.check(state.index.collect(), state.members, state.members, f"{state.name}.collect()")
            for tree in sweep + self.kind_sweep(state.members):
                found = state.index.reduced_query(ref.to_query(tree)).collect()
                self.check(found, *self.bounds(tree, state.members, state), f"{state.name}: {tree}")
            for path in GROUP_PATHS if paths is PATHS else paths:
                self.check_group_by(state, path, keep=False)
            for attr in [path for path in paths if "." not in path][:3]:
                for descending in (False, True):
                    self.check_order(state.name, state.index, state.members, state,
                                     state.index.collect(), attr, descending, 2, 1)
        for view in self.views:
            self.check(view.view.collect(), view.slots, view.slots, f"{view.name}.collect()")

    def kind_sweep(self, members):
        """Comparisons on x with an operand of every kind that one of `members` holds there."""
        held = {type(leaf) for slot in members for leaf in self.leaves_at(slot, "x")}
        kinds = [v for v in TIMES + NUMPY + REFUSED[:-1] + UNKNOWNS if type(canonical(v)) in held]
        keys = [ref.ordered_key(canonical(v)) for v in kinds]
        pairs = zip(zip(kinds, keys), zip(kinds[1:], keys[1:]))
        return [(op, "x", v) for op in ("eq", "ne", "gt", "le") for v in kinds] + [
            ("bt", "x", lo, hi) for (lo, a), (hi, b) in pairs
            if a and b and a[0] == b[0] and not ref.is_nan(a[1]) and not ref.is_nan(b[1])]

    # ---------------------------------------------------------------- operations

    def new_index(self):
        self.keep(self.indexes, IndexState(self.fresh("i"), Index()), self.max_indexes)

    def keep_view(self, view, source, slots, name):
        self.keep(self.views, ViewState(name, view, source, frozenset(slots)), self.max_views)

    def keep(self, kept, item, most):
        """Appends `item` to `kept`, dropping the oldest past `most`."""
        with self.lock:
            if len(kept) >= most:
                kept.pop(0)
            kept.append(item)

    def any(self, items):
        """One of `items` (a list other threads may change), or None."""
        with self.lock:
            return self.choices.pick(items) if items else None

    def new_object(self):
        c = self.choices
        if len(self.objects) >= self.max_objects:
            return self.write()
        cls, pairs = Node if c.one_in(3) else Indexable, {}
        for _ in range(c.below(4)):
            pairs.setdefault(c.pick(ATTRS) if not c.one_in(12) else c.pick(RARE_ATTRS),
                             self.value(self.limit_for(len(self.objects))))
        line = f"{self.name(len(self.objects))} = {cls.__name__}(**{pairs!r})"
        obj = self.attempt(line, refused(list(pairs.values())), lambda: cls(**pairs))
        if obj is not PANICKED:
            self.place(obj, pairs)

    def place(self, obj, pairs):
        """Takes in `obj`, made with the attributes `pairs`."""
        with self.lock:
            slot = len(self.objects)
            self.slot_of[id(obj)] = slot
            self.objects.append(obj)
            self.written.append(dict(pairs))
        if self.exact:
            self.check_read(slot)

    def write(self):
        c = self.choices
        if not self.objects:
            return self.new_object()
        slot = c.below(len(self.objects))
        name = c.pick(ATTRS) if not c.one_in(12) else c.pick(RARE_ATTRS)
        value = self.value(self.limit_for(slot))
        line = f"setattr({self.name(slot)}, {name!r}, {value!r})"
        if self.attempt(line, refused(value),
                        lambda: setattr(self.objects[slot], name, value)) is PANICKED:
            return
        with self.lock:
            self.written[slot][name] = value
            for state in self.indexes + [v.source for v in self.views]:
                if state.reduced and slot in state.possible:
                    state.eligible.add(slot)  # its new values are indexed again
                    if self.exact and not state.fuzzy and slot in state.members:
                        state.seen.setdefault(slot, set()).add(name)
        if self.exact:
            self.check_read(slot)

    def join(self, state, slots):
        with self.lock:
            for slot in slots:
                if slot not in state.members and not state.fuzzy:
                    state.complete.add(slot)
                state.members.add(slot)
                state.possible.add(slot)
                state.eligible.add(slot)  # adding a member again may index its values again

    def add(self):
        c = self.choices
        if not self.objects:
            return
        state = self.any(self.indexes)
        slots = [c.below(len(self.objects)) for _ in range(1 + c.below(3))]
        objs, how = [self.objects[s] for s in slots], c.below(3)
        with self.lock:
            state.possible.update(slots)
        if how == 0:
            for obj in objs:
                state.index.add_object(obj)
        else:
            state.index.add_object_many(objs if how == 1 else tuple(objs))
        self.join(state, slots)

    def target(self):
        """An index or a view, with the slots its queries answer within."""
        view = self.any(self.views) if self.choices.one_in(3) else None
        if view:
            return view.name, view.view, set(view.slots), view.source
        state = self.any(self.indexes)
        return state.name, state.index, self.domain(state), state

    def domain(self, state):
        """The slots an index answers within: alone, a copy of its members; under threads, its
        set of possible members itself, read when the answer is checked."""
        with self.lock:
            return set(state.members) if self.exact else state.possible

    def keyword_call(self, call, kw, label):
        """Runs a keyword query; None when the module refused an operand (allowed)."""
        made = self.attempt(label, any(refused(values) for _, values, _ in kw),
                            lambda: call(**{name: make() for name, _, make in kw}))
        return None if made is PANICKED else made

    def kw_text(self, kw):
        return ", ".join(f"{name}={values!r}" for name, values, _ in kw)

    def get_by_attribute(self, reduce=False):
        name, target, domain, state = self.target()
        kw = self.keywords()
        label = f"{name}.get_by_attribute({self.kw_text(kw)})"
        if not isinstance(target, Index):
            target, domain = state.index, self.domain(state)  # views have no get_by_attribute
        found = self.keyword_call(target.get_by_attribute, kw, label)
        if found is None:
            return
        kept = self.check(found, *self.keyword_bounds(kw, domain, state), label)
        if reduce:
            if self.keyword_call(state.index.reduce, kw, "reduce") is not None:
                self.fail(f"{state.name}.reduce returned something")
            with self.lock:
                state.reduced = True
                if self.exact and not state.fuzzy:
                    state.complete &= kept
                    state.eligible = set(kept)
                    state.seen = {s: names for s, names in state.seen.items() if s in kept}
                else:
                    state.fuzzy, state.complete, state.seen = True, set(), {}

    def reduce(self):
        self.get_by_attribute(reduce=True)

    def reduced(self):
        name, target, domain, state = self.target()
        kw, view_name = self.keywords(), self.fresh("v")
        label = f"{view_name} = {name}.reduced({self.kw_text(kw)})"
        view = self.keyword_call(target.reduced, kw, label)
        if view is not None:
            if type(view) is not FilteredIndex:
                self.fail(f"{label}: got a {type(view).__name__}")
            got = self.check(view.collect(), *self.keyword_bounds(kw, domain, state), label)
            self.keep_view(view, state, got, view_name)

    def reduced_query(self):
        name, target, domain, state = self.target()
        (tree, may_raise), view_name = self.tree(), self.fresh("v")
        label = f"{view_name} = {name}.reduced_query({tree!r})"
        made = self.attempt(label, may_raise, lambda: (
            view := target.reduced_query(ref.to_query(tree)), view.collect()))
        if made is not PANICKED:
            view, found = made
            got = self.check(found, *self.bounds(tree, domain, state), label)
            self.keep_view(view, state, got, view_name)

    def group_by(self):
        self.check_group_by(self.any(self.indexes), self.choices.pick(PATHS))

    def check_group_by(self, state, path, keep=True):
        label = f"{state.name}.group_by({path!r})"
        try:
            groups = state.index.group_by(path)
        except TypeError as exc:
            if "unhashable" not in str(exc):
                raise
            if self.exact and not any(not hashable(leaf) for s in state.members
                                      for leaf in self.leaves_at(s, path)):
                self.fail(f"{label}: {exc}, yet no member holds an unhashable value there")
            return
        self.check_groups(state, path, groups, label, keep)

    def check_groups(self, state, path, groups, label, keep):
        with self.lock:
            members = set(state.members if self.exact else state.possible)
        expected = {}  # tag -> (leaves, holders)
        for slot in members if self.exact else ():
            for leaf in self.leaves_at(slot, path):
                if ref.group_tag(leaf) is not None:
                    entry = expected.setdefault(ref.group_tag(leaf), ([], set()))
                    entry[0].append(leaf)
                    entry[1].add(slot)
        exact = self.exact and not state.reduced
        if exact and any(not hashable(leaves[0]) for leaves, _ in expected.values()):
            self.fail(f"{label}: no TypeError, though a member holds an unhashable value there")
        classes = {}  # Python dict keys merge equal values (True, 1 and 1.0): one group per class
        for tag, (leaves, holders) in expected.items():
            if hashable(leaves[0]):
                key = float(leaves[0]) if tag[0] == "number" and any(
                    type(v) is not int for v in leaves) else leaves[0]
                classes.setdefault(group_key(key), []).append((key, holders))
        plain = 0
        for key, view in groups.items():
            got = self.slots_of(view.collect(), f"{label}[{key!r}]")
            emptied = state.gone  # by other threads' removals since the groups were made
            if type(view) is not FilteredIndex or not (got or emptied) or not got <= members:
                self.fail(f"{label}: group {key!r} is {type(view).__name__} {self.listed(got)}")
            if ref.is_nan(key):
                if self.exact and not all(any(map(ref.is_nan, self.leaves_at(s, path))) for s in got):
                    self.fail(f"{label}: an object in the NaN group holds no NaN")
            elif self.exact:
                plain += 1
                candidates = classes.get(group_key(key), [])
                if exact and got not in [h for _, h in candidates] or not any(
                        got <= h for _, h in candidates):
                    self.fail(f"{label}: group {key!r} holds {self.listed(got)}, expected "
                              f"{[self.listed(h) for _, h in candidates]}")
                if exact and len(candidates) == 1 and type(key) is not type(candidates[0][0]):
                    self.fail(f"{label}: key {key!r}, expected {candidates[0][0]!r}")
            if keep:
                self.keep_view(view, state, got, self.fresh("g"))
        if exact and plain != len(classes):
            self.fail(f"{label}: keys {sorted(map(repr, groups))}, expected "
                      f"{sorted(map(repr, classes))}")

    def survey(self):
        """Iterates, counts and orders an index or a view: iter, len, in, count (of a query or of
        keywords), group_counts and order_by pages."""
        c = self.choices
        name, target, domain, state = self.target()
        found = list(target)
        self.check(found, *((domain, domain) if self.exact else self.possible(domain)),
                   f"list({name})")
        ids, slot = list(map(id, found)), c.below(len(self.objects)) if self.objects else None
        if self.exact and (ids != list(map(id, target.collect())) or len(target) != len(found) or
                           bool(target) != bool(found) or target.count() != len(found) or
                           slot is not None and (self.objects[slot] in target) != (slot in domain)):
            self.fail(f"{name}: iteration, collect(), len(), count() and `in` disagree")
        tree, may_raise = self.tree()
        label = f"{name}.count({tree!r})"
        counted = self.attempt(label, may_raise, lambda: target.count(ref.to_query(tree)))
        if counted is not PANICKED:
            self.check_count(counted, self.bounds(tree, domain, state), label)
        kw = self.keywords()
        label = f"{name}.count({self.kw_text(kw)})"
        counted = self.keyword_call(target.count, kw, label)
        if counted is not None:
            self.check_count(counted, self.keyword_bounds(kw, domain, state) if kw else
                             (domain, domain) if self.exact else self.possible(domain), label)
        path = c.pick(GROUP_PATHS)
        try:
            counts = target.group_counts(path)
            groups = ref.grouped(found, path).values() if self.exact else []
            expected = {key: len(holders) for key, holders in groups}
        except TypeError as exc:  # an unhashable value held there
            if "unhashable" not in str(exc):
                raise
        else:
            def tallied(pairs):  # NaN and NaT keys are not modelled; -0.0 may be keyed 0.0
                return sorted(repr((k + 0.0 if type(k) is float else k, n))
                              for k, n in pairs if k == k)

            # Equal keys (1 and True) leave one entry of the two: not compared.
            if self.exact and domain <= state.complete and len(expected) == len(groups) and \
                    tallied(counts.items()) != tallied(expected.items()):
                self.fail(f"{name}.group_counts({path!r}): {counts}, expected {expected}")
        self.check_order(name, target, domain, state, found, c.pick(ATTRS), c.one_in(2),
                         c.pick([None, 0, 1, 3]), c.below(len(found) + 2))

    def check_order(self, name, target, domain, state, found, attr, descending, limit, offset):
        """order_by on `target` (whose members in id order are `found`), whole and one page."""
        label = f"{name}.order_by({attr!r}, descending={descending}, limit={limit}, offset={offset})"
        whole = target.order_by(attr, descending=descending)
        page = target.order_by(attr, descending=descending, limit=limit, offset=offset)
        got = self.slots_of(whole, label, in_order=False)
        if self.exact:
            end = None if limit is None else offset + limit
            known = domain <= state.complete  # every value certainly indexed: the order is known
            if got != domain or list(map(id, page)) != list(map(id, whole[offset:end])) or known \
                    and list(map(id, whole)) != list(map(id, ref.order_by(found, attr, descending))):
                self.fail(f"{label}: {[self.name(self.slot_of[id(o)]) for o in whole]}")

    def check_count(self, counted, bounds, label):
        if not len(bounds[0]) <= counted <= len(bounds[1]):
            self.fail(f"{label}: {counted}, expected {len(bounds[0])} .. {len(bounds[1])}")

    def union_with(self):
        a, b = self.any(self.indexes), self.any(self.indexes)
        with self.lock:
            brought = set(b.members)
            a.possible |= b.possible
        if a.index.union_with(b.index) is not None:
            self.fail(f"{a.name}.union_with({b.name}) returned something")
        with self.lock:  # what was being added to b meanwhile may have come along
            a.possible |= b.possible
            brought -= b.gone
        self.join(a, brought)

    def rebase(self):
        view = self.any(self.views)
        if view is None:
            return
        state = IndexState(self.fresh("i"), view.view.rebase())
        if type(state.index) is not Index:
            self.fail(f"{view.name}.rebase() gave a {type(state.index).__name__}")
        got = self.check(state.index.collect(), view.slots - view.source.gone, view.slots,
                         f"{state.name}.collect()")
        state.possible |= got
        self.join(state, got)
        self.keep(self.indexes, state, self.max_indexes)

    def remove(self):
        """Takes objects out: clear, discard, remove or remove_many (the last two refuse an object
        that is no member, remove_many then taking none out)."""
        c = self.choices
        if not self.objects:
            return
        state, how = self.any(self.indexes), c.below(7)
        with self.lock:
            if how == 0:  # under threads, objects being added meanwhile may be taken out too
                slots = set(state.possible if self.exact else range(self.max_objects))
            else:
                slots = {c.below(len(self.objects)) for _ in range(1 if how > 4 else 1 + c.below(3))}
                objs = [self.objects[s] for s in slots]
            if not self.exact:  # marked first: answers from now on may or may not hold them
                state.gone |= slots
                state.members -= slots
                state.complete -= slots
        strangers = not slots <= state.members
        label = f"{state.name} taking out {self.listed(slots)} (way {how})"
        try:
            if how == 0:
                state.index.clear()
            elif how < 3:
                for obj in objs:
                    state.index.discard(obj)
            elif how < 5:
                state.index.remove_many(objs)
            else:
                state.index.remove(objs[0])
        except KeyError:
            if self.exact and not strangers:
                self.fail(f"{label}: KeyError for members")
            if self.exact:
                return
        else:
            if self.exact and how > 2 and strangers:
                self.fail(f"{label}: no KeyError, though not all are members")
        if self.exact:
            self.forget(state, slots)

    def forget(self, state, slots):
        """The model after `slots` left the index of `state` (a later add may number them anew)."""
        with self.lock:
            for known in (state.members, state.possible, state.complete, state.eligible):
                known -= slots
            for slot in slots:
                state.seen.pop(slot, None)
            self.views[:] = [v._replace(slots=v.slots - slots) if v.source is state else v
                             for v in self.views]
            if self.order is not None:
                self.order -= {pair for pair in self.order if slots.intersection(pair)}

    def drop(self):
        c = self.choices
        with self.lock:
            if self.views and c.one_in(2):
                self.views.pop(c.below(len(self.views)))
            elif len(self.indexes) > 1:
                self.indexes.pop(c.below(len(self.indexes)))
        if c.one_in(4):
            gc.collect()

    def cycles(self):
        """Garbage cycles through objects, indexes and views, left to the collector."""
        index, first, second = Index(), Indexable(n=1), Indexable(n=2)
        first.peer, second.peer, first.home = second, first, index
        index.add_object_many([first, second] + self.objects[:1])
        second.view = index.reduced(n=[1, 2])
        second.items = [first, (second, [index])]
        first.q = Q.eq("peer.n", second)
        index.group_by("peer.n")


OPERATIONS = [name for name, weight in [
    ("new_object", 3), ("write", 5), ("add", 3), ("get_by_attribute", 2), ("reduced", 2),
    ("reduced_query", 4), ("group_by", 2), ("reduce", 1), ("union_with", 1), ("rebase", 1),
    ("remove", 2), ("drop", 1), ("cycles", 1), ("survey", 2)] for _ in range(weight)]


def modelled(index, objs):
    """A program and its state of `index`, which holds exactly `objs` with every value indexed."""
    program, state = Program(None), IndexState("i", index)
    for obj in objs:
        program.place(obj, {})
    program.indexes.append(state)
    program.join(state, range(len(objs)))
    return program, state


def check_index(index, objs, paths):
    """Checks `index`, holding exactly `objs` with every value indexed, on `paths`."""
    modelled(index, objs)[0].check_all(paths)


def run_bytes(data):
    """Runs the program `data` decodes to; raises Mismatch on a wrong answer."""
    Program(ByteChoices(data)).run()
