"""A tour of Veldrake on a catalogue of 200,000 products.

Every question is answered twice: by Veldrake, and by a plain Python scan over the list of
products. The two answers must be the same set of objects (the tour stops with an
AssertionError otherwise), so running the tour is also a quick smoke test of the module.

Run it with `make demo`, or from the repository root:
    PYTHONPATH=build/dev .venv/bin/python examples/tour.py
"""

import collections
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from Veldrake import Index, PyQueryExpr as Q  # noqa: E402

from catalogue import make_catalogue  # noqa: E402
from report import Report, captured_stderr, fmt_time  # noqa: E402

SEED = 1729
PRODUCTS = 200_000
SELLERS = 2_500
EU = ["FR", "DE", "ES", "IT", "NL", "PL", "SE", "PT"]


def by(products, key):
    """group_by done by hand: {value: [products]} for a key function giving a single value."""
    groups = collections.defaultdict(list)
    for p in products:
        groups[key(p)].append(p)
    return groups


def collected(groups):
    """A group_by answer as {value: list of objects}."""
    return {key: view.collect() for key, view in groups.items()}


def main():
    wall = time.perf_counter()
    print(f"Veldrake tour: a catalogue of {PRODUCTS:,} products from {SELLERS:,} sellers "
          f"(random seed {SEED})")
    print("  Product: sku, name, category, price, stock, rating, reviews, on_sale, tags (a list),\n"
          "           seller -> Seller: name, country, rating, verified,\n"
          "                     address -> Address: city, country, postcode")
    start = time.perf_counter()
    sellers, products = make_catalogue(SEED, PRODUCTS, SELLERS)
    made = time.perf_counter() - start
    print(f"  creating the Product, Seller and Address objects in Python  {fmt_time(made)}")

    start = time.perf_counter()
    index = Index()
    index.add_object_many(products)
    added = time.perf_counter() - start
    print(f"  Index.add_object_many(products): indexing every attribute   {fmt_time(added)}")
    assert len(index.collect()) == PRODUCTS

    r = Report()
    r.header()

    # ------------------------------------------------------------------ keyword look-ups
    r.section("Keyword look-ups: get_by_attribute(**kw)")
    r.objects('category="garden"',
              lambda: index.get_by_attribute(category="garden"),
              lambda: [p for p in products if p.category == "garden"])
    r.objects('category=["books", "music"]  (either value)',
              lambda: index.get_by_attribute(category=["books", "music"]),
              lambda: [p for p in products if p.category in ("books", "music")])
    r.objects('category="kitchen", on_sale=True, tags="eco"',
              lambda: index.get_by_attribute(category="kitchen", on_sale=True, tags="eco"),
              lambda: [p for p in products
                       if p.category == "kitchen" and p.on_sale is True and "eco" in p.tags])
    r.objects("stock=0  (finds 0 and 0.0)",
              lambda: index.get_by_attribute(stock=0),
              lambda: [p for p in products if p.stock == 0],
              note=f"{sum(type(p.stock) is float and p.stock == 0 for p in products):,} "
                   "of them hold 0.0")
    shop = sellers[7]
    r.objects(f"seller={shop.name}  (that very Seller object)",
              lambda: index.get_by_attribute(seller=shop),
              lambda: [p for p in products if p.seller is shop])

    # ------------------------------------------------------------------ ranges
    r.section("Ranges: reduced_query(PyQueryExpr).collect()")
    r.objects("gt('price', 500)",
              lambda: index.reduced_query(Q.gt("price", 500)).collect(),
              lambda: [p for p in products if p.price > 500])
    r.objects("ge('rating', 4.9)",
              lambda: index.reduced_query(Q.ge("rating", 4.9)).collect(),
              lambda: [p for p in products if p.rating >= 4.9])
    r.objects("lt('stock', 1)  (out of stock)",
              lambda: index.reduced_query(Q.lt("stock", 1)).collect(),
              lambda: [p for p in products if p.stock < 1])
    r.objects("le('price', 1.5)",
              lambda: index.reduced_query(Q.le("price", 1.5)).collect(),
              lambda: [p for p in products if p.price <= 1.5])
    r.objects("bt('price', 19.5, 20)  (both ends included)",
              lambda: index.reduced_query(Q.bt("price", 19.5, 20)).collect(),
              lambda: [p for p in products if 19.5 <= p.price <= 20])

    # ------------------------------------------------------------------ combinations
    r.section("Combinations: and_ / or_ / not_ / ne / in_")
    r.objects("and_(ge('stock', 100), lt('price', 5))",
              lambda: index.reduced_query(Q.and_(Q.ge("stock", 100), Q.lt("price", 5))).collect(),
              lambda: [p for p in products if p.stock >= 100 and p.price < 5])
    cheap_books_or_top_gadgets = Q.or_(
        Q.and_(Q.eq("category", "books"), Q.le("price", 3)),
        Q.and_(Q.eq("category", "electronics"), Q.ge("rating", 4.9), Q.not_(Q.eq("on_sale", True))),
    )
    r.objects("or_(cheap books, top-rated gadgets not on sale)",
              lambda: index.reduced_query(cheap_books_or_top_gadgets).collect(),
              lambda: [p for p in products
                       if (p.category == "books" and p.price <= 3)
                       or (p.category == "electronics" and p.rating >= 4.9 and p.on_sale is not True)])
    r.objects("in_('tags', ['vintage', 'handmade'])",
              lambda: index.reduced_query(Q.in_("tags", ["vintage", "handmade"])).collect(),
              lambda: [p for p in products if "vintage" in p.tags or "handmade" in p.tags])
    r.objects("and_(ne(category), not_(in_(tags)), ge(reviews))",
              lambda: index.reduced_query(Q.and_(
                  Q.ne("category", "books"),
                  Q.not_(Q.in_("tags", ["eco", "local", "new", "gift", "budget"])),
                  Q.ge("reviews", 50))).collect(),
              lambda: [p for p in products
                       if p.category != "books" and p.reviews >= 50
                       and not set(p.tags) & {"eco", "local", "new", "gift", "budget"}],
              note="ne('category', 'books'), not_(in_('tags', [5 tags])), ge('reviews', 50)")

    # ------------------------------------------------------------------ nested objects
    r.section("Dotted paths into nested objects (seller, seller.address)")
    r.objects("eq('seller.country', 'JP')",
              lambda: index.reduced_query(Q.eq("seller.country", "JP")).collect(),
              lambda: [p for p in products if p.seller.country == "JP"])
    r.objects("eq('seller.address.city', 'Lyon')",
              lambda: index.reduced_query(Q.eq("seller.address.city", "Lyon")).collect(),
              lambda: [p for p in products if p.seller.address.city == "Lyon"])
    r.objects("and_(three seller.* conditions, eq('category', 'toys'))",
              lambda: index.reduced_query(Q.and_(
                  Q.in_("seller.country", EU), Q.ge("seller.rating", 4.8),
                  Q.eq("seller.verified", True), Q.eq("category", "toys"))).collect(),
              lambda: [p for p in products
                       if p.seller.country in EU and p.seller.rating >= 4.8
                       and p.seller.verified is True and p.category == "toys"],
              note="in_('seller.country', EU), ge('seller.rating', 4.8), eq('seller.verified', True)")

    # ------------------------------------------------------------------ grouping
    r.section("Grouping: group_by(attr) -> {value: FilteredIndex}")
    r.groups('group_by("category")',
             lambda: collected(index.group_by("category")),
             lambda: by(products, lambda p: p.category))
    r.groups('group_by("seller.country")',
             lambda: collected(index.group_by("seller.country")),
             lambda: by(products, lambda p: p.seller.country))

    # ------------------------------------------------------------------ views
    r.section("Views: FilteredIndex (a fixed set of objects, live values)")
    gadgets = index.reduced(category="electronics")
    r.objects('reduced(category="electronics").collect()',
              lambda: index.reduced(category="electronics").collect(),
              lambda: [p for p in products if p.category == "electronics"])
    r.objects("  .reduced_query(lt('price', 50)).collect()",
              lambda: gadgets.reduced_query(Q.lt("price", 50)).collect(),
              lambda: [p for p in products if p.category == "electronics" and p.price < 50])
    cheap_gadgets = gadgets.reduced_query(Q.lt("price", 50))
    r.objects("  .reduced(on_sale=True)  (keywords on a view)",
              lambda: cheap_gadgets.reduced(on_sale=True).collect(),
              lambda: [p for p in products
                       if p.category == "electronics" and p.price < 50 and p.on_sale is True])

    members = cheap_gadgets.collect()
    copies = []

    def rebase_and_collect():
        copies.append(cheap_gadgets.rebase())
        return copies[-1].collect()

    r.objects("  .rebase() -> a new Index of the view's objects",
              rebase_and_collect,
              lambda: [p for p in products if p.category == "electronics" and p.price < 50])
    copy = copies[-1]

    def reduce_and_get():
        copy.reduce(on_sale=True)
        return copy.get_by_attribute(tags="gift")

    r.objects('copy.reduce(on_sale=True); get(tags="gift")',
              reduce_and_get,
              lambda: [p for p in products if p.category == "electronics" and p.price < 50
                       and p.on_sale is True and "gift" in p.tags],
              note=lambda: f"copy.collect() still returns all {len(copy.collect()):,} objects")
    assert len(copy.collect()) == len(members)

    books = index.reduced(category="books").rebase()
    music = index.reduced(category="music").rebase()
    merge_log = []
    start = time.perf_counter()
    with captured_stderr(merge_log):
        books.union_with(music)
    union_s = time.perf_counter() - start
    assert len(books.collect()) == sum(p.category in ("books", "music") for p in products)
    r.objects("books.union_with(music), then a query on books",
              lambda: books.reduced_query(Q.and_(Q.lt("price", 4), Q.ge("rating", 4.8))).collect(),
              lambda: [p for p in products if p.category in ("books", "music")
                       and p.price < 4 and p.rating >= 4.8],
              note=f"union_with took {fmt_time(union_s).strip()} and merged "
                   f"{len(merge_log)} attribute indexes; and_(lt('price', 4), ge('rating', 4.8))")

    # ------------------------------------------------------------------ live updates
    r.section("Live updates: a write is seen by the very next query")
    item = products[123_456]
    start = time.perf_counter()
    item.price = 0.5  # every other price is at least 1.00
    write_s = time.perf_counter() - start
    r.objects(f"{item.sku}.price = 0.5; lt('price', 1)",
              lambda: index.reduced_query(Q.lt("price", 1)).collect(),
              lambda: [p for p in products if p.price < 1],
              note=f"the write took {fmt_time(write_s).strip()}")

    shop = sellers[42]
    start = time.perf_counter()
    shop.country = "IS"  # no other seller is in Iceland
    write_s = time.perf_counter() - start
    moved = r.objects(f"{shop.name}.country = 'IS'; eq('seller.country', 'IS')",
                      lambda: index.reduced_query(Q.eq("seller.country", "IS")).collect(),
                      lambda: [p for p in products if p.seller.country == "IS"],
                      note=f"one write of {fmt_time(write_s).strip()} moved every product "
                           "of the shop")
    assert moved and all(p.seller is shop for p in moved)

    gadget = members[0]
    gadget.price = 999.0
    r.objects(f"{gadget.sku}.price = 999; the view above, lt('price', 50)",
              lambda: cheap_gadgets.reduced_query(Q.lt("price", 50)).collect(),
              lambda: [p for p in members if p.price < 50],
              note=f"the view still holds all {len(cheap_gadgets.collect()):,}; "
                   f"{gadget.sku} no longer matches")
    assert any(p is gadget for p in cheap_gadgets.collect())

    item.tags = item.tags + ["staff-pick"]
    r.objects(f'{item.sku}.tags += ["staff-pick"]; get(tags="staff-pick")',
              lambda: index.get_by_attribute(tags="staff-pick"),
              lambda: [p for p in products if "staff-pick" in p.tags])

    r.footer()
    print(f"Whole tour: {fmt_time(time.perf_counter() - wall).strip()} "
          f"(building {fmt_time(made + added).strip()}).")


if __name__ == "__main__":
    main()
