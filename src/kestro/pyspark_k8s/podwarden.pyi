import datetime
from typing import Any, List, Optional, TypedDict

from kubernetes import client as client
from kubernetes import config as config

from kestro.common.defines import BMOBJ as BMOBJ
from kestro.common.defines import Et as Et
from kestro.oss.oss import AliyunOss as AliyunOss

class PodSummary(TypedDict):
    name: str
    status: Optional[str]
    create_time: Optional[datetime.datetime]

class PodWarden:
    ctx: Any
    k8s_conn_config: str
    k8s_client: client.CoreV1Api
    def __init__(self, ctx: Any, k8s_conn_config: str = "~/.kube/config") -> None: ...
    def get_k8s_client(self) -> None: ...
    def get_all_pods(self) -> List[PodSummary]: ...
    def get_pod_info(self, pod_name: str) -> client.V1Pod: ...
    def get_pod_log(self, pod_name: str, lines_count: Optional[int] = 1000) -> str: ...
    def delete_pod(self, pod_name: str) -> Any: ...
