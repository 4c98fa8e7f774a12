"""The benchmarked systems, Veldrake first (the others' times are compared with its own)."""

from .dict_of_sets import DictOfSetsSystem
from .duckdb_db import DuckdbSystem
from .ducks_dex import DucksSystem
from .list_scan import ListScanSystem
from .pandas_frame import PandasSystem
from .polars_frame import PolarsSystem
from .sqlite_db import SqliteSystem
from .veldrake_index import VeldrakeListsSystem, VeldrakeSystem

ALL_SYSTEMS = [VeldrakeSystem, VeldrakeListsSystem, ListScanSystem, DictOfSetsSystem, DucksSystem,
               SqliteSystem, PandasSystem, PolarsSystem, DuckdbSystem]
BY_KEY = {cls.key: cls for cls in ALL_SYSTEMS}
REFERENCE = VeldrakeSystem.key
