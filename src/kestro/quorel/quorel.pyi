import os
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

from kestro.common.defines import BaseMethod, Et

BMOBJ: BaseMethod

class ThinkDataQuery:
    query_uri: str
    token: str
    hive_conn_info: list
    verify: Union[bool, str, "os.PathLike[str]", None]
    def __init__(
        self,
        query_uri: str,
        token: str,
        hive_conn_info: Sequence[Any] = ...,
        *,
        verify: Union[bool, str, "os.PathLike[str]", None] = None,
    ) -> None: ...
    def gen_local_unique_file(self, ext: Any = "csv") -> str: ...
    def g_to_csv_notmp(
        self,
        filepath: str,
        df: Any,
        index: Any = True,
        compression: Optional[str] = None,
        mode: str = "w",
        header: Any = True,
    ) -> bool: ...
    def get_data_csv(self, ctx: Mapping[str, Any], sql: str, block_size: int = 100000) -> str: ...
    def get_data_raw_pyhive(
        self,
        ctx: Any,
        sql: str,
        block_size: int = 100000,
        fetch_size: int = 10000,
        retry_count: int = 5,
        read_timeout: float = 300,
        upcount: Optional[int] = None,
    ) -> Optional[str]: ...
    def get_data_raw_pyhive_i(
        self,
        ctx: Any,
        unique_path: str,
        sql: str,
        block_size: int = 100000,
        fetch_size: int = 10000,
        read_timeout: float = 300,
        upcount: Optional[int] = None,
    ) -> str: ...
