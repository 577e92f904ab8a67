"""Storvane: object operations and parallel folder transfers on one S3 bucket."""
from typing import IO, Any, List, Mapping, Optional, Union
import os

from kestro.common.defines import BMOBJ as BMOBJ, Et as Et

_Path = Union[str, "os.PathLike[str]"]

class Storvane:
    """Handle on one S3 bucket: client factories, object operations, folder transfers.

    get_s3_session/get_s3_client/get_s3_resource return new objects on
    every call; their sessions share one botocore model loader (public
    register_component). upload_folder/download_folder share one client,
    made for the call with a pool of 10 connections per worker, and one
    boto3.s3.transfer.S3Transfer over it (10 threads per worker), between
    their file tasks while get_s3_session, get_s3_config, get_s3_client and
    _upload_i/_download_i are Storvane's own; when any is replaced, each
    file task calls get_s3_client() once, at its start, and transfers
    through that client's upload_file/download_file.
    """

    ctx: Mapping[str, Any]
    access_key: str
    secret_key: str
    bucket: str
    region_name: str
    endpoint_url: Optional[str]
    s3_client: Any

    def __init__(
        self,
        ctx: Mapping[str, Any] = ...,
        ak: str = "",
        sk: str = "",
        bucket: str = "",
        region_name: str = "",
        endpoint_url: Optional[str] = None,
    ) -> None: ...
    def get_s3_config(self) -> Any: ...
    def get_s3_session(self) -> Any: ...
    def get_s3_client(self) -> Any: ...
    def set_s3_client(self) -> None: ...
    def get_s3_resource(self) -> Any: ...
    def get_s3_bucket(self) -> Any: ...
    def find_prefix(self, remote_path: str, isrm: bool = True) -> List[str]: ...
    def list_folder(self, remote_path: str) -> List[str]: ...
    def upload_file(self, local_path: _Path, remote_path: str) -> bool: ...
    def upload_fileobj(self, io_obj: IO[bytes], remote_path: str) -> bool: ...
    def download_file(self, local_path: _Path, remote_path: str) -> bool: ...
    def is_exists(self, remote_path: str) -> bool: ...
    def delete_file(self, remote_path: str) -> bool: ...
    def delete_folder(self, remote_path: str) -> bool: ...
    def _upload_i(self, remote_file: str, local_file: str, retry_count: int) -> None: ...
    def _download_i(self, remote_file: str, local_file: str, retry_count: int) -> None: ...
    def upload_folder(
        self,
        local_path: _Path,
        remote_path: str,
        add_success: bool = False,
        add_empty: bool = False,
        max_workers: int = 50,
        isrm: bool = True,
        isdel: bool = True,
        retry_count: int = 5,
    ) -> None: ...
    def download_folder(
        self,
        local_path: _Path,
        remote_path: str,
        max_workers: int = 50,
        isrm: bool = True,
        isdel: bool = True,
        retry_count: int = 5,
    ) -> None: ...
