"""DuckDB in memory: the sqlite model (a row per record, ``rid`` = position, an index per
queried column), bulk-loaded from a pandas DataFrame of the attributes (DuckDB's fast path).

Answers are ``objs_arr[rids].tolist()`` with the rids fetched as a numpy array. The planner
decides whether to use the indexes (it usually scans). A write is an ``UPDATE`` plus the
attribute write on the record.
"""

from .base import System
from .sql_statements import sql_statements

COLUMNS = ("age", "score", "city", "active", "owner_country")


def make_helpers(con, objs, objs_arr):
    def rows(sql, *params):
        return objs_arr[con.execute(sql, list(params)).fetchnumpy()["rid"]].tolist()

    def group_city():
        return {city: [objs[k] for k in rids] for city, rids in
                con.execute("SELECT city, list(rid) FROM items GROUP BY city").fetchall()}

    def write(k, city):
        con.execute("UPDATE items SET city = ? WHERE rid = ?", [city, k])
        objs[k].city = city

    return rows, group_city, write


class DuckdbSystem(System):
    key = "duckdb"
    label = "DuckDB"
    note = ("in-memory DuckDB table (owner.country flattened), bulk-loaded from a pandas frame, "
            "an index per queried column; answers map rid -> record through a numpy object "
            "array; writes are UPDATE + setattr.")

    def unavailable(self):
        try:
            import duckdb  # noqa: F401
            import numpy  # noqa: F401
            import pandas  # noqa: F401
        except Exception as exc:
            return f"duckdb (with numpy and pandas for the bulk load) not importable ({exc})"
        return None

    def build(self):
        import duckdb
        import numpy as np
        import pandas as pd

        objs = self.objs
        frame = pd.DataFrame({
            "rid": np.arange(len(objs), dtype=np.int64),
            "age": [o.age for o in objs],
            "score": [o.score for o in objs],
            "city": [o.city for o in objs],
            "active": [o.active for o in objs],
            "owner_country": [o.owner.country for o in objs],
        })
        con = duckdb.connect(":memory:")
        con.register("frame", frame)
        con.execute("CREATE TABLE items AS SELECT * FROM frame")
        con.unregister("frame")
        for column in COLUMNS:
            con.execute(f"CREATE INDEX items_{column} ON items ({column})")
        objs_arr = np.empty(len(objs), dtype=object)
        objs_arr[:] = objs
        self.ns["con"] = con
        self.ns["objs_arr"] = objs_arr

    def clear(self):
        con = self.ns.pop("con", None)
        self.ns.pop("objs_arr", None)
        if con is not None:
            con.close()

    def statements(self):
        rows, group_city, write = make_helpers(self.ns["con"], self.objs, self.ns["objs_arr"])
        self.ns.update(rows=rows, group_city=group_city, write=write)
        return sql_statements("NOT active")
