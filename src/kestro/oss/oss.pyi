import gzip as gzip
import os as os
import pathlib as pathlib
import random as random
import time as time
import uuid as uuid
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from concurrent.futures import as_completed as as_completed
from typing import Any, List, Mapping, Optional, Union

import oss2 as oss2
import requests as requests
from django.conf import settings as settings

from kestro.common.defines import BMOBJ as BMOBJ
from kestro.common.defines import Et as Et

_Path = Union[str, "os.PathLike[str]"]

class OssSession(oss2.Session):
    session: requests.Session
    def __init__(self, pool_connections: int = 10, pool_maxsize: int = 10) -> None: ...

class AliyunOss:
    access_key_id: Optional[str]
    access_key_secret: Optional[str]
    bucket_name: str
    endpoint: str
    bucket: oss2.Bucket
    retry_time_sleep: Optional[float]
    def __init__(
        self,
        bucket_name: str,
        aly_access_key_id: Optional[str],
        aly_access_key_secret: Optional[str],
        aly_endpoint: str,
        pool_connections: int = 210,
        pool_maxsize: int = 210,
        timeout: Optional[float] = None,
        retry_time_sleep: Optional[float] = None,
        *,
        region: Optional[str] = None,
        security_token: Optional[str] = None,
        credentials_provider: Optional[oss2.CredentialsProvider] = None,
    ) -> None: ...
    def exists(self, remote_filename: str) -> bool: ...
    def find_prefix_oss(self, ctx: Any, oss_file_path: str, isrm: bool = False, ftype: str = "file") -> List[str]: ...
    def delete_prefix_oss(self, ctx: Any, oss_file_path: str, isrm: bool = False) -> None: ...
    def delete_path(self, remote_path: str) -> bool: ...
    def gen_local_unique_file(self, ext: str = "csv") -> str: ...
    def upload(self, file_content: str, remote_filename: str) -> bool: ...
    def download(self, remote_filename: str) -> str: ...
    def _upload_oss(
        self, ctx: Mapping[str, Any], td_file: str, local_file: _Path, *, multipart_threshold: int = 5368709120
    ) -> None: ...
    def _download_oss(self, ctx: Mapping[str, Any], td_file: str, local_file: _Path) -> None: ...
    def upload_oss(
        self,
        ctx: Mapping[str, Any],
        local_file_path: _Path,
        oss_file_path: str,
        add_success: bool = False,
        add_empty: bool = False,
        max_workers: int = 200,
        isrm: bool = False,
        isdel: bool = True,
        *,
        multipart_threshold: int = 5368709120,
    ) -> None: ...
    def download_oss(
        self,
        ctx: Mapping[str, Any],
        local_file_path: _Path,
        oss_file_path: str,
        max_workers: int = 200,
        isrm: bool = False,
        isdel: bool = True,
    ) -> None: ...
