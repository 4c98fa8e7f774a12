"""pandas: a DataFrame of the records' attributes plus an object column holding the records.

Queries are boolean masks; the answer is ``df.loc[mask, "obj"].tolist()``. The owner's
country is flattened into the column ``owner_country``; ``tags`` is not stored. A write is
``df.at[k, "city"] = v`` plus the attribute write on the record.
"""

from .base import System


def make_helpers(df, objs):
    def write(k, city):
        df.at[k, "city"] = city
        objs[k].city = city

    def group_city():
        return df.groupby("city", sort=False)["obj"].agg(list).to_dict()

    return write, group_city


class PandasSystem(System):
    key = "pandas"
    label = "pandas"
    note = ("DataFrame of the attributes (owner.country flattened) + an object column of the "
            "records; boolean masks, answers df.loc[mask, 'obj'].tolist(); writes are "
            "df.at[...] + setattr.")

    def unavailable(self):
        try:
            import pandas  # noqa: F401
        except Exception as exc:
            return f"pandas not importable ({type(exc).__name__}: {exc})"
        return None

    def build(self):
        import pandas as pd

        objs = self.objs
        self.ns["df"] = pd.DataFrame({
            "age": [o.age for o in objs],
            "score": [o.score for o in objs],
            "city": [o.city for o in objs],
            "active": [o.active for o in objs],
            "owner_country": [o.owner.country for o in objs],
            "obj": objs,
        })

    def clear(self):
        self.ns.pop("df", None)

    def statements(self):
        write, group_city = make_helpers(self.ns["df"], self.objs)
        self.ns.update(write=write, group_city=group_city)
        return {
            "empty_eq": "df.loc[df['city'] == NOWHERE, 'obj'].tolist()",
            "sel_eq": "df.loc[df['city'] == RARE, 'obj'].tolist()",
            "broad_eq": "df.loc[df['age'] == AGE, 'obj'].tolist()",
            "range_1": "df.loc[df['score'].between(R1_LO, R1_HI), 'obj'].tolist()",
            "range_30": "df.loc[df['score'].between(R30_LO, R30_HI), 'obj'].tolist()",
            "and_not": ("df.loc[(df['age'] == AND_AGE) & df['score'].between(AND_LO, AND_HI) "
                        "& ~df['active'], 'obj'].tolist()"),
            "in_": "df.loc[df['city'].isin(FIVE), 'obj'].tolist()",
            "dotted": "df.loc[df['owner_country'] == COUNTRY, 'obj'].tolist()",
            "group_by": "group_city()",
            "write_b": "write(UPD_K, UPD_B)",
            "write_a": "write(UPD_K, UPD_A)",
            "query_b": "df.loc[df['city'] == UPD_B, 'obj'].tolist()",
            "query_a": "df.loc[df['city'] == UPD_A, 'obj'].tolist()",
        }
