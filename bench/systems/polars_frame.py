"""Polars: a DataFrame of the records' attributes plus ``rid``, the record's position.

Queries are filter expressions; the answer is ``objs_arr[rids].tolist()``, the rids fetched as
a numpy array and mapped to the records through a numpy object array (Polars' own object
columns are slower). The owner's country is flattened into ``owner_country``; ``tags`` is not
stored. Counting and the first 10 by score stay inside Polars (``sum`` of a mask,
``bottom_k``). A write is ``df[k, "city"] = v`` plus the attribute write on the record.
"""

from .base import System


def make_helpers(pl, df, objs, objs_arr):
    def rows(expr):
        return objs_arr[df.filter(expr)["rid"].to_numpy()].tolist()

    def lowest_scores(frame):
        return objs_arr[frame.bottom_k(10, by="score").sort("score")["rid"].to_numpy()].tolist()

    def group_city():
        grouped = df.group_by("city").agg(pl.col("rid"))
        return {city: objs_arr[rids.to_numpy()].tolist()
                for city, rids in zip(grouped["city"], grouped["rid"])}

    def write(k, city):
        df[k, "city"] = city
        objs[k].city = city

    return rows, lowest_scores, group_city, write


class PolarsSystem(System):
    key = "polars"
    label = "Polars"
    note = ("Polars DataFrame of the attributes (owner.country flattened) + the record's position; "
            "filter expressions, answers map rid -> record through a numpy object array; count "
            "and bottom_k inside Polars; writes are df[k, col] = v + setattr.")

    def unavailable(self):
        try:
            import numpy  # noqa: F401
            import polars  # noqa: F401
        except Exception as exc:
            return f"polars not importable ({type(exc).__name__}: {exc})"
        return None

    def build(self):
        import numpy as np
        import polars as pl

        objs = self.objs
        self.ns["df"] = pl.DataFrame({
            "rid": np.arange(len(objs), dtype=np.int64),
            "age": [o.age for o in objs],
            "score": [o.score for o in objs],
            "city": [o.city for o in objs],
            "active": [o.active for o in objs],
            "owner_country": [o.owner.country for o in objs],
        })

    def clear(self):
        self.ns.pop("df", None)

    def statements(self):
        import numpy as np
        import polars as pl

        objs_arr = np.empty(len(self.objs), dtype=object)
        objs_arr[:] = self.objs
        rows, lowest_scores, group_city, write = make_helpers(pl, self.ns["df"], self.objs,
                                                              objs_arr)
        self.ns.update(pl=pl, c=pl.col, rows=rows, lowest_scores=lowest_scores,
                       group_city=group_city, write=write)
        return {
            "empty_eq": "rows(c('city') == NOWHERE)",
            "sel_eq": "rows(c('city') == RARE)",
            "broad_eq": "rows(c('age') == AGE)",
            "range_1": "rows(c('score').is_between(R1_LO, R1_HI))",
            "range_30": "rows(c('score').is_between(R30_LO, R30_HI))",
            "and_not": ("rows((c('age') == AND_AGE) & c('score').is_between(AND_LO, AND_HI) "
                        "& ~c('active'))"),
            "in_": "rows(c('city').is_in(FIVE))",
            "dotted": "rows(c('owner_country') == COUNTRY)",
            "group_by": "group_city()",
            "count_30": "df.select(c('score').is_between(R30_LO, R30_HI).sum()).item()",
            "top10": "lowest_scores(df)",
            "top10_view": "lowest_scores(df.filter(c('age') < YOUNG))",
            "write_b": "write(UPD_K, UPD_B)",
            "write_a": "write(UPD_K, UPD_A)",
            "query_b": "rows(c('city') == UPD_B)",
            "query_a": "rows(c('city') == UPD_A)",
        }
