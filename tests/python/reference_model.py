"""A plain-Python statement of what an index answers, to check the module against."""

import math

import Veldrake


def is_number(value):
    return type(value) in (int, float)


def leaves(value, _containers=()):
    """The values an attribute value contributes: containers flattened, dicts ignored."""
    if type(value) in (list, tuple, set):
        if all(value is not seen for seen in _containers):
            for element in value:
                yield from leaves(element, _containers + (value,))
    elif type(value) is not dict:
        yield value


def equals(wanted):
    """The test a held leaf value must pass to equal `wanted`."""

    def predicate(held):
        if is_number(wanted):
            return is_number(held) and held == wanted
        if type(wanted) in (bool, str):
            return type(held) is type(wanted) and held == wanted
        return isinstance(wanted, Veldrake.Indexable) and held is wanted

    return predicate


def ordered(op, bound):
    """The test a held leaf value must pass to compare to `bound` as `op` says."""

    def predicate(held):
        if not (is_number(held) and is_number(bound)) or math.isnan(held) or math.isnan(bound):
            return False
        return {"gt": held > bound, "ge": held >= bound, "lt": held < bound, "le": held <= bound}[op]

    return predicate


def between(lower, upper):
    """The test a held leaf value must pass to lie in [lower, upper] (both ends included)."""
    above, below = ordered("ge", lower), ordered("le", upper)
    return lambda held: above(held) and below(held)


def any_of(values):
    """The test a held leaf value must pass to equal one of `values`."""
    tests = [equals(value) for value in values]
    return lambda held: any(test(held) for test in tests)


def path_leaves(obj, path):
    """Every leaf value reached through the dotted `path` from `obj`."""
    first, dot, rest = path.partition(".")
    for leaf in leaves(getattr(obj, first, ())):  # a missing attribute holds nothing
        if not dot:
            yield leaf
        elif isinstance(leaf, Veldrake.Indexable):
            yield from path_leaves(leaf, rest)


def select(objs, path, predicate):
    """The objects with a leaf reached through the dotted `path` that passes `predicate`."""
    return [o for o in objs if any(predicate(leaf) for leaf in path_leaves(o, path))]


def same(found, expected):
    """Compares two lists of objects as sets of identities."""
    return sorted(map(id, found)) == sorted(map(id, expected))


def evaluate(tree, members):
    """The members an expression tree selects.

    A tree is a plain tuple: ("eq"|"ne"|"gt"|"ge"|"lt"|"le", path, value), ("bt", path, lo, hi),
    ("in", path, [values]), ("and", [trees]), ("or", [trees]) or ("not", tree). Complements are
    taken within `members`.
    """
    op = tree[0]
    if op in ("and", "or"):
        parts = [set(map(id, evaluate(sub, members))) for sub in tree[1]]
        kept = (set.intersection if op == "and" else set.union)(*parts) if parts else set()
        return [m for m in members if id(m) in kept]
    if op in ("not", "ne"):
        excluded = set(map(id, evaluate(tree[1] if op == "not" else ("eq", *tree[1:]), members)))
        return [m for m in members if id(m) not in excluded]
    tests = {"eq": equals, "bt": between, "in": any_of}
    predicate = tests[op](*tree[2:]) if op in tests else ordered(op, tree[2])
    return select(members, tree[1], predicate)


def to_query(tree):
    """The PyQueryExpr of a plain expression tree (see evaluate)."""
    op = tree[0]
    if op in ("and", "or"):
        return getattr(Veldrake.PyQueryExpr, op + "_")(*map(to_query, tree[1]))
    if op == "not":
        return Veldrake.PyQueryExpr.not_(to_query(tree[1]))
    return getattr(Veldrake.PyQueryExpr, "in_" if op == "in" else op)(*tree[1:])


def keyword_values(value):
    """The values one keyword argument stands for: a str is one value, other iterables their items."""
    if isinstance(value, str):
        return [value]
    try:
        return list(iter(value))
    except TypeError:
        return [value]


def keyword_select(members, keywords):
    """What get_by_attribute(**keywords) finds: every keyword must hold; no keyword finds nothing."""
    found = list(members) if keywords else []
    for name, value in keywords.items():
        found = select(found, name, any_of(keyword_values(value)))
    return found


def group_tag(leaf):
    """How group_by tells groups apart: numbers by value, bools and strs by value, others by
    identity. None for NaN, whose grouping is not modelled."""
    if is_number(leaf):
        return None if math.isnan(leaf) else ("number", leaf)
    if type(leaf) in (bool, str):
        return (type(leaf).__name__, leaf)
    return ("object", id(leaf))


def grouped(members, path):
    """group_by(path) as {tag: (expected key, [holders])}; NaN leaves are left out.

    A numeric key is an int when every grouped value is an int, else a float.
    """
    groups = {}
    for obj in members:
        for leaf in path_leaves(obj, path):
            tag = group_tag(leaf)
            if tag is not None:
                leaves_seen, holders = groups.setdefault(tag, ([], {}))
                leaves_seen.append(leaf)
                holders[id(obj)] = obj
    result = {}
    for tag, (leaves_seen, holders) in groups.items():
        key = leaves_seen[0]
        if tag[0] == "number" and any(type(v) is not int for v in leaves_seen):
            key = float(key)
        result[tag] = (key, list(holders.values()))
    return result


def numbers_in(obj, attr):
    """The numbers (NaN aside) attribute `attr` of `obj` holds, containers flattened."""
    return [v for v in leaves(getattr(obj, attr, ())) if is_number(v) and not math.isnan(v)]


def order_by(members, attr, descending=False, limit=None, offset=0):
    """order_by on `members` given in ascending id order: by number (an object with several
    numbers at its smallest, or its largest when descending), ties and then the objects holding
    no number in ascending id order."""
    ranked, rest = [], []
    for position, obj in enumerate(members):
        numbers = numbers_in(obj, attr)
        if not numbers:
            rest.append(obj)
        elif descending:
            ranked.append((-max(numbers), position, obj))
        else:
            ranked.append((min(numbers), position, obj))
    ranked.sort(key=lambda entry: entry[:2])
    ordered = [obj for _, _, obj in ranked] + rest
    return ordered[offset:] if limit is None else ordered[offset : offset + limit]
