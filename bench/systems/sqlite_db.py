"""sqlite3 in memory: one row per record, an index on every queried column.

The row id is the record's position, so an answer is ``[objs[rid] for (rid,) in rows]``.
The owner's country is flattened into the column ``owner_country``; ``tags`` is not stored
(no workload asks for it). The connection is in autocommit mode; a write is an ``UPDATE``
plus the attribute write on the Python record.
"""

import sqlite3

from .base import System
from .sql_statements import sql_statements

COLUMNS = ("age", "score", "city", "active", "owner_country")


def make_helpers(con, objs):
    def rows(sql, *params):
        return [objs[rid] for (rid,) in con.execute(sql, params)]

    def group_city():
        groups = {}
        for city, rid in con.execute("SELECT city, rid FROM items"):
            groups.setdefault(city, []).append(objs[rid])
        return groups

    def write(k, city):
        con.execute("UPDATE items SET city = ? WHERE rid = ?", (city, k))
        objs[k].city = city

    return rows, group_city, write


class SqliteSystem(System):
    key = "sqlite"
    label = "sqlite3"
    note = ("in-memory sqlite3, a table with owner.country flattened to owner_country, an index "
            "per queried column, executemany bulk load; answers map rowid -> record; writes are "
            "UPDATE + setattr.")

    def build(self):
        con = sqlite3.connect(":memory:", isolation_level=None)
        con.execute("CREATE TABLE items (rid INTEGER PRIMARY KEY, age INTEGER, score REAL, "
                    "city TEXT, active INTEGER, owner_country TEXT)")
        con.execute("BEGIN")
        con.executemany(
            "INSERT INTO items VALUES (?, ?, ?, ?, ?, ?)",
            ((k, o.age, o.score, o.city, o.active, o.owner.country)
             for k, o in enumerate(self.objs)),
        )
        for column in COLUMNS:
            con.execute(f"CREATE INDEX items_{column} ON items ({column})")
        con.execute("COMMIT")
        self.ns["con"] = con

    def clear(self):
        con = self.ns.pop("con", None)
        if con is not None:
            con.close()

    def statements(self):
        rows, group_city, write = make_helpers(self.ns["con"], self.objs)
        self.ns.update(rows=rows, group_city=group_city, write=write)
        return {
            **sql_statements("NOT (active = 1)"),
            "count_30": ("con.execute('SELECT count(*) FROM items WHERE score BETWEEN ? AND ?', "
                         "(R30_LO, R30_HI)).fetchone()[0]"),
            "top10": "rows('SELECT rid FROM items ORDER BY score LIMIT 10')",
            "top10_view": "rows('SELECT rid FROM items WHERE age < ? ORDER BY score LIMIT 10', YOUNG)",
        }
