"""The workloads as SQL over the table ``items`` that the SQL systems (sqlite3, DuckDB) share.

Each system provides ``rows(sql, *params)``, ``group_city()`` and ``write(k, city)``;
``inactive`` is its spelling of "active is false".
"""


def sql_statements(inactive):
    return {
        "empty_eq": "rows('SELECT rid FROM items WHERE city = ?', NOWHERE)",
        "sel_eq": "rows('SELECT rid FROM items WHERE city = ?', RARE)",
        "broad_eq": "rows('SELECT rid FROM items WHERE age = ?', AGE)",
        "range_1": "rows('SELECT rid FROM items WHERE score BETWEEN ? AND ?', R1_LO, R1_HI)",
        "range_30": "rows('SELECT rid FROM items WHERE score BETWEEN ? AND ?', R30_LO, R30_HI)",
        "and_not": ("rows('SELECT rid FROM items WHERE age = ? AND score BETWEEN ? AND ? "
                    f"AND {inactive}', AND_AGE, AND_LO, AND_HI)"),
        "in_": "rows('SELECT rid FROM items WHERE city IN (?, ?, ?, ?, ?)', *FIVE)",
        "dotted": "rows('SELECT rid FROM items WHERE owner_country = ?', COUNTRY)",
        "group_by": "group_city()",
        "write_b": "write(UPD_K, UPD_B)",
        "write_a": "write(UPD_K, UPD_A)",
        "query_b": "rows('SELECT rid FROM items WHERE city = ?', UPD_B)",
        "query_a": "rows('SELECT rid FROM items WHERE city = ?', UPD_A)",
    }
