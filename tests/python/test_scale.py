"""Sizes far beyond the usual: deep query trees, many attribute names, many indexes per object.
Each case runs in a fresh interpreter, so that a crash or a blow-up fails the test instead of the
run (how the costs grow is measured by the benchmarks)."""

from fresh_interpreter import run_fresh


def test_deep_query_trees_are_refused_before_evaluation():
    # 100,000 levels: copying the operand at each level would take hours, and evaluating or
    # printing the tree by recursion would overflow the 1 MiB stack of the thread. A shared
    # operand is visited once per use, so a small tree can be too large to walk.
    words = run_fresh("""
        import os, threading
        from Veldrake import Index, Indexable, PyQueryExpr as Q
        ix = Index()
        ix.add_object(Indexable(a=1))
        deep = Q.eq("a", 1)
        for i in range(100_000):
            deep = Q.not_(deep) if i % 2 else Q.and_(deep, Q.eq("a", 1))
        shallow = Q.eq("a", 1)
        for _ in range(150):
            shallow = Q.not_(Q.not_(Q.or_(shallow)))
        doubled = Q.eq("a", 1)  # 80 nodes, each operand twice: 2**80 to visit
        for _ in range(80):
            doubled = Q.or_(doubled, doubled)
        def run():
            for evaluate in (ix.reduced_query, ix.count, ix.reduced(a=1).count):
                try:
                    evaluate(deep)
                except RecursionError as error:
                    print("refused", "nests" in str(error))
                try:
                    evaluate(doubled)
                except ValueError as error:
                    print("refused", "nodes" in str(error))
            print(len(ix.reduced_query(shallow).collect()), len(repr(deep) + repr(doubled)) < 10**8)
        # 1 MiB holds the deepest accepted tree; sanitizer frames are several times larger.
        threading.stack_size((16 if os.environ.get("VELDRAKE_SANITIZER") else 1) << 20)
        t = threading.Thread(target=run)
        t.start()
        t.join()
        del deep
        print("released")
    """)
    assert words == ["refused", "True"] * 6 + ["1", "True", "released"]


def test_many_names_and_memberships():
    # An object with 50,000 attributes, then 2,000 one-object indexes whose attribute is the
    # 50,000th name: a slot per known name in each index would cost 16 bytes x 50,000 x 2,000 =
    # 1.6 GB. Once all but one are dropped, writes reach the one left and no dead membership.
    assert run_fresh("""
        import gc
        from Veldrake import Index, Indexable
        wide = Indexable()
        for i in range(50_000):
            setattr(wide, "k%d" % i, i)
        obj = Indexable(k49999=1)
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        base = rss()
        keep = []
        for _ in range(2000):
            ix = Index()
            ix.add_object(obj)
            ix.add_object(obj)
            keep.append(ix)
        print((rss() - base) // 2000 < 200_000, keep[-1].get_by_attribute(k49999=1) == [obj])
        keep[-1].add_object(wide)
        print(keep[-1].get_by_attribute(k12345=12345) == [wide])
        del keep[1:]
        gc.collect()
        for i in range(2000):
            obj.k49999 = i
        print(keep[0].get_by_attribute(k49999=1999) == [obj])
    """) == ["True"] * 4
