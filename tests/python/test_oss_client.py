"""kestro.oss.oss: the client, bucket operations and single-object transfers,
with the real OSS SDK against local servers."""
import gc
import http.client
import logging
import os
import re
import threading
import uuid
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

import oss2
import pytest
import requests

from kestro.common.defines import Et
from kestro.oss.oss import AliyunOss, OssSession
from servers.oss_fixtures import client, files_in, oss, oss_server_session, work_folders  # noqa: F401
from servers.oss_server import OssServer


# ---- construction -----------------------------------------------------------

def test_session_is_an_sdk_session_over_requests():
    s = OssSession()
    assert isinstance(s, oss2.Session) and isinstance(s.session, requests.Session)


def sdk_exists(session):
    return lambda url: oss2.Bucket(oss2.Auth("a", "b"), url, "bucket1", session=session).object_exists


def new_connections(oss, exists, width):
    """The connections the server accepted for each of two rounds of `width`
    HEADs sent at once."""
    oss.put("k")
    oss.add_fault("stall", method="HEAD", times=None, delay=0.5)  # each round's requests overlap
    counts = []
    for _ in range(2):
        before = oss.connections
        with ThreadPoolExecutor(width) as pool:
            assert all(pool.map(lambda _: exists("k"), range(width)))
        counts.append(oss.connections - before)
    return counts


@pytest.mark.parametrize("make, width, kept", [
    (lambda: sdk_exists(OssSession()), 14, 10),
    (lambda: sdk_exists(OssSession(3, 7)), 10, 7),
    (lambda: lambda url: AliyunOss("bucket1", "a", "b", url, 5, 6).exists, 10, 6),
    (lambda: lambda url: AliyunOss("bucket1", "a", "b", url).exists, 40, 40),  # room for every worker
])
def test_pools_keep_their_size_of_connections_for_reuse(oss, make, width, kept):
    assert new_connections(oss, make()(oss.url), width) == [width, width - kept]


@pytest.mark.parametrize("hosts, reused", [(1, False), (2, True)])
def test_pools_are_kept_for_as_many_endpoints(oss, hosts, reused):
    # requests alternate between two endpoints: with one pool, each finds the other's pool in its place
    with OssServer() as other:
        session = OssSession(hosts, 10)
        checks = [sdk_exists(session)(server.url) for server in (oss, other)]
        for server in (oss, other):
            server.put("k")
        before = oss.connections + other.connections
        for _ in range(3):
            assert all(exists("k") for exists in checks)
        assert oss.connections + other.connections - before == (2 if reused else 6)


def test_client_fields_and_no_request_at_construction(oss):
    c = AliyunOss("bucket1", "AKID", "SECRET", oss.url, timeout=4, retry_time_sleep=1.5)
    assert (c.access_key_id, c.access_key_secret, c.bucket_name, c.endpoint, c.retry_time_sleep) == (
        "AKID", "SECRET", "bucket1", oss.url, 1.5)
    assert isinstance(c.bucket, oss2.Bucket) and c.bucket.bucket_name == "bucket1"
    assert type(c.bucket.session) is OssSession
    assert oss.requests == []
    oss.put("k", "v")
    assert c.exists("k") and [r[:3] for r in oss.requests] == [("HEAD", "bucket1", "k")]
    assert AliyunOss("bucket1", "a", "b", oss.url, 5, 6).retry_time_sleep is None
    with pytest.raises(TypeError):
        AliyunOss("bucket1", "a", "b")


class RelayProxy(ThreadingHTTPServer):
    """A plain-HTTP forward proxy that notes each request's target."""

    daemon_threads = True

    def __init__(self):
        self.seen = []

        class Relay(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def relay(handler):
                target = urlsplit(handler.path)
                self.seen.append(handler.command + " " + handler.path)
                body = handler.rfile.read(int(handler.headers.get("Content-Length") or 0))
                upstream = http.client.HTTPConnection(target.netloc, timeout=10)
                upstream.request(handler.command, target.path + ("?" + target.query if target.query else ""),
                                 body, dict(handler.headers))
                answer = upstream.getresponse()
                data = answer.read()
                handler.send_response(answer.status)
                for name, value in answer.getheaders():
                    if name.lower() not in ("content-length", "connection", "transfer-encoding"):
                        handler.send_header(name, value)
                handler.send_header("Content-Length", str(len(data)))
                handler.end_headers()
                handler.wfile.write(data)
                upstream.close()

            do_GET = do_PUT = do_HEAD = do_DELETE = do_POST = relay

        super().__init__(("127.0.0.1", 0), Relay)
        self.url = "http://127.0.0.1:%d" % self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()


@pytest.fixture
def relay_proxy():
    proxy = RelayProxy()
    yield proxy
    proxy.shutdown()
    proxy.server_close()


@pytest.mark.parametrize("no_proxy, relayed", [(None, 2), ("127.0.0.1", 0), ("example.com", 2)])
def test_environment_proxy_is_taken_when_the_client_is_made(oss, relay_proxy, monkeypatch, no_proxy, relayed):
    for name in ("http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("http_proxy", relay_proxy.url)
    if no_proxy:
        monkeypatch.setenv("no_proxy", no_proxy)
    c = AliyunOss("bucket1", "AKID-test", "SECRET-test", oss.url)
    monkeypatch.delenv("http_proxy")  # later changes are not seen
    c.bucket.put_object("k", b"v")
    assert c.exists("k") and oss.get("k") == b"v"
    assert len(relay_proxy.seen) == relayed
    assert all(line.startswith(("PUT " + oss.url, "HEAD " + oss.url)) for line in relay_proxy.seen)


def test_environment_ca_bundle_is_taken_when_the_client_is_made(monkeypatch, tmp_path):
    missing = str(tmp_path / "no-such-bundle.pem")
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", missing)
    with_bundle = AliyunOss("bucket1", "AKID-test", "SECRET-test", "https://127.0.0.1:9")
    monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    without = AliyunOss("bucket1", "AKID-test", "SECRET-test", "https://127.0.0.1:9")
    # requests refuses a bundle path that does not exist before it connects
    with pytest.raises(OSError, match="no-such-bundle"):
        with_bundle.bucket.get_object("k")
    with pytest.raises(oss2.exceptions.RequestError):
        without.bucket.get_object("k")


# ---- bucket operations ----------------------------------------------------

@pytest.fixture
def tree(oss):
    for key in ("a/x.csv", "a/b/", "a/b/y.csv", "ab/z.csv"):
        oss.put(key, key)
    return oss


@pytest.mark.parametrize("path, isrm, ftype, expected", [
    ("a", False, "file", ["a/x.csv"]),
    ("a/", False, "file", ["a/x.csv"]),
    ("a", False, "folder", ["a/b/"]),
    ("a", False, "all", ["a/b/", "a/x.csv"]),
    ("a", True, "file", ["a/b/y.csv", "a/x.csv"]),
    ("a", True, "all", ["a/b/", "a/b/y.csv", "a/x.csv"]),
    ("a", True, "files", []),
    ("nothing", True, "file", []),
])
def test_find_prefix_oss(client, tree, path, isrm, ftype, expected):
    assert client.find_prefix_oss({}, path, isrm=isrm, ftype=ftype) == expected


def test_find_prefix_oss_reads_every_page(client, oss):
    keys = ["p/%04d.csv" % k for k in range(230)] + ["p/sub/%d" % k for k in range(120)]
    for key in keys:
        oss.put(key)
    assert client.find_prefix_oss({}, "p", True) == sorted(keys)
    assert client.find_prefix_oss({}, "p") == sorted(keys[:230])
    assert len(oss.calls("GET", key=None)) >= 4 + 3


@pytest.mark.parametrize("bad", ["", None, 5])
def test_find_and_delete_refuse_a_missing_folder_before_any_request(client, oss, bad):
    for call in (lambda: client.find_prefix_oss({}, bad), lambda: client.delete_prefix_oss({}, bad),
                 lambda: client.delete_path(bad)):
        with pytest.raises(Et) as err:
            call()
        assert err.value.state == 2
    assert oss.requests == []


def test_delete_path_and_delete_prefix_leave_folder_markers(client, tree):
    assert client.delete_path("a") is True
    assert tree.keys() == ["a/b/", "a/b/y.csv", "ab/z.csv"]
    tree.put("a/x.csv")
    assert client.delete_prefix_oss({}, "a", isrm=True) is None
    assert tree.keys() == ["a/b/", "ab/z.csv"]
    assert client.delete_path("empty/") is True


def test_delete_stops_at_the_first_failing_delete(client, tree):
    tree.add_fault("status", method="DELETE", key="a/x.csv", status=403, code="AccessDenied")
    with pytest.raises(oss2.exceptions.AccessDenied):
        client.delete_prefix_oss({}, "a", True)
    # list order: a/b/y.csv went first, a/x.csv refused
    assert tree.keys() == ["a/b/", "a/x.csv", "ab/z.csv"]


def test_exists(client, tree):
    assert client.exists("a/x.csv") is True
    assert client.exists("a/missing") is False
    tree.add_fault("status", method="HEAD", status=403, code="AccessDenied")
    with pytest.raises(oss2.exceptions.AccessDenied):
        client.exists("a/x.csv")
    with pytest.raises(oss2.exceptions.NoSuchBucket):
        AliyunOss("nobucket", "a", "b", tree.url).exists("k")


HEX64 = re.compile(r"^[0-9a-f]{64}\.(\w+)$")


def test_gen_local_unique_file_by_run_mode(client, work_folders, local_mode, monkeypatch, tmp_path):
    path = client.gen_local_unique_file("json")
    folder, name = os.path.split(path)
    assert folder == work_folders["local"] and os.path.isdir(folder) and not os.path.exists(path)
    assert HEX64.match(name).group(1) == "json"
    assert uuid.UUID(name[:32]).version == 1 and uuid.UUID(name[32:64]).version == 1
    assert name[:32] != name[32:64]
    assert client.gen_local_unique_file() != client.gen_local_unique_file()
    monkeypatch.delenv("HOME")
    monkeypatch.chdir(tmp_path)
    rel = client.gen_local_unique_file()
    assert rel.startswith("tmp/kestro/") and rel.endswith(".csv") and os.path.isdir(tmp_path / "tmp" / "kestro")


def test_gen_local_unique_file_server_mode(client, work_folders):
    path = client.gen_local_unique_file()
    assert os.path.dirname(path) == work_folders["server"] and os.path.isdir(work_folders["server"])
    assert HEX64.match(os.path.basename(path)).group(1) == "csv"


# ---- upload / download of texts ---------------------------------------------

@pytest.fixture
def django_log(caplog):
    caplog.set_level(logging.DEBUG, logger="django")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "django"]


class StrSub(str):
    pass


@pytest.mark.parametrize("content", [12, b"bytes", StrSub("text"), None])
def test_upload_refuses_what_is_not_exactly_text(client, oss, django_log, work_folders, content):
    with pytest.raises(Et) as err:
        client.upload(content, "t/k")
    assert (err.value.state, err.value.getmsg()) == (2, "file_content must be str")
    assert django_log() == ["upload start"]
    assert files_in(work_folders["server"]) == [] and oss.keys() == []


@pytest.mark.parametrize("content", ["", "päivää 你好\nline two\n"])
def test_upload_stores_the_text_and_leaves_no_work_file(client, oss, django_log, work_folders, content):
    assert client.upload(content, "t/k.txt") is True
    assert oss.get("t/k.txt") == content.encode("utf-8")
    assert files_in(work_folders["server"]) == []
    log = django_log()
    assert log[0] == "upload start" and log[-1] == "upload end" and "status=200" in log[1]
    assert "SECRET-test" not in " ".join(log)


def test_download_retries_with_a_restore_before_each_attempt(client, oss, fast_sleep, django_log, work_folders):
    oss.put("t/k.txt", "a\r\nb\rc\n")
    oss.add_fault("status", method="HEAD", key="t/k.txt", times=2, status=503, code="ServiceUnavailable")
    assert client.download("t/k.txt") == "a\nb\nc\n"
    assert len(oss.calls("POST", "t/k.txt", "restore")) == 3
    assert fast_sleep.calls == [10, 10]
    assert files_in(work_folders["server"]) == []
    assert django_log() == ["download t/k.txt start", "download t/k.txt end"]


def test_download_of_a_missing_key_gives_up_after_18_attempts(client, oss, fast_sleep, work_folders):
    with pytest.raises(oss2.exceptions.NotFound):
        client.download("t/none")
    assert len(oss.calls("POST", "t/none", "restore")) == 18
    assert fast_sleep.calls == [10] * 17
    assert files_in(work_folders["server"]) == []


def test_download_ignores_a_refused_or_accepted_restore(client, oss, fast_sleep):
    oss.put("k", "v")
    oss.restore_status = 202
    assert client.download("k") == "v"
    oss.add_fault("reset", method="POST", key="k")
    assert client.download("k") == "v"
    assert fast_sleep.calls == []


# ---- per-file workers ----------------------------------------------------------

FLOAT = r"(\d+\.\d+(e-\d+)?|\d\.?\d*e-\d+)"


def test_worker_recovers_on_the_second_attempt(client, oss, task_ctx, fast_sleep, tmp_path):
    client.retry_time_sleep = 7
    src = tmp_path / "f.csv"
    src.write_text("data")
    oss.add_fault("status", method="PUT", key="out/f.csv", status=500)
    assert client._upload_oss(task_ctx, "out/f.csv", str(src)) is None
    lines = task_ctx.lines()
    assert len(lines) == 2 and all(len(line) == 1 for line in lines)
    assert lines[0][0].startswith("%s upload oss fail, repeat 0, error: " % src)
    assert "500" in lines[0][0]
    assert re.fullmatch(re.escape(str(src)) + r" upload status 200, sub time " + FLOAT, lines[1][0])
    assert fast_sleep.calls == [0.5, 7, 0.5]
    assert oss.get("out/f.csv") == b"data"


@pytest.mark.parametrize("direction", ["upload", "download"])
def test_worker_fails_finally_after_three_attempts(client, oss, task_ctx, fast_sleep, tmp_path, direction):
    src = tmp_path / "f.csv"
    src.write_text("old")
    oss.put("k.csv", "new")
    oss.add_fault("status", key="k.csv", times=None, status=500)
    worker = client._upload_oss if direction == "upload" else client._download_oss
    with pytest.raises(Et) as err:
        worker(task_ctx, "k.csv", str(src))
    assert err.value.state == 2 and err.value.getmsg() == "%s fail k.csv %s" % (direction, src)
    texts = [line[0] for line in task_ctx.lines()]
    assert [t.split(", error: ")[0] for t in texts[:3]] == [
        "%s %s oss fail, repeat %d" % (src, direction, k) for k in range(3)]
    assert texts[3].startswith("%s %s oss finally fail: " % (src, direction)) and len(texts) == 4
    assert "SECRET-test" not in " ".join(texts) + err.value.getmsg()
    assert [c for c in fast_sleep.calls if c != 0.5] == [0, 0]
    assert src.read_text() == "old" and files_in(tmp_path) == ["f.csv"]


def test_worker_pauses_60_to_120_whole_seconds_by_default(client, oss, local_mode, fast_sleep, tmp_path, capsys):
    client.retry_time_sleep = None
    oss.add_fault("status", method="PUT", times=None, status=500)
    (tmp_path / "f").write_text("x")
    for _ in range(5):
        with pytest.raises(Et):
            client._upload_oss({}, "k", str(tmp_path / "f"))
    pauses = [c for c in fast_sleep.calls if c != 0.5]
    assert len(pauses) == 10 and all(isinstance(p, int) and 60 <= p <= 120 for p in pauses)
    assert len(set(pauses)) > 1  # drawn afresh for each pause
    assert capsys.readouterr().out.count("upload oss fail, repeat ") == 15


@pytest.mark.parametrize("fault", [
    dict(action="reset", method="GET"),        # connection dies mid-body
    dict(action="bad_crc", method="GET"),      # body arrives, checksum wrong
    dict(action="status", method="GET", status=502, code="BadGateway"),
])
def test_download_worker_never_leaves_a_partial_file(client, oss, local_mode, fast_sleep, tmp_path, fault,
                                                     capsys):
    body = os.urandom(256 * 1024)
    oss.put("big.bin", body)
    target = tmp_path / "big.bin"
    target.write_bytes(b"previous complete content")
    oss.add_fault(key="big.bin", times=None, **fault)
    with pytest.raises(Et):
        client._download_oss({}, "big.bin", str(target))
    assert target.read_bytes() == b"previous complete content"
    assert files_in(tmp_path) == ["big.bin"]
    oss.faults.clear()
    oss.add_fault(key="big.bin", times=1, **fault)
    client._download_oss({}, "big.bin", str(target))
    assert target.read_bytes() == body and files_in(tmp_path) == ["big.bin"]
    out = capsys.readouterr().out
    assert "download oss fail, repeat 0" in out and "download status 200" in out


def test_worker_with_a_read_timeout_retries(oss, local_mode, fast_sleep, tmp_path, capsys):
    c = AliyunOss("bucket1", "a", "b", oss.url, timeout=1, retry_time_sleep=0)
    (tmp_path / "f").write_text("x")
    oss.add_fault("stall", method="PUT", key="slow", delay=3)
    c._upload_oss({}, "slow", str(tmp_path / "f"))
    out = capsys.readouterr().out.splitlines()
    assert "repeat 0" in out[0] and "upload status 200" in out[1]
    assert oss.get("slow") == b"x"


# ---- against moto_server ------------------------------------------------------

def test_single_object_operations_against_moto(moto_endpoint, local_mode, fast_sleep, tmp_path, capsys):
    import boto3

    name = "kestro-oss-%s" % uuid.uuid4().hex[:8]
    boto3.client("s3", endpoint_url=moto_endpoint, region_name="us-east-1", aws_access_key_id="a",
                 aws_secret_access_key="b").create_bucket(Bucket=name)
    c = AliyunOss(name, "a", "b", moto_endpoint, retry_time_sleep=0)
    src = tmp_path / "f.csv"
    src.write_bytes(b"1,2\n")
    c._upload_oss({}, "dir/f.csv", str(src))
    assert c.exists("dir/f.csv") and not c.exists("dir/g.csv")
    c._download_oss({}, "dir/f.csv", str(tmp_path / "g.csv"))
    assert (tmp_path / "g.csv").read_bytes() == b"1,2\n"
    assert c.upload("text body", "dir/t.txt") is True
    # moto answers the restore request with an error: ignored
    assert c.download("dir/t.txt") == "text body"
    c.bucket.delete_object("dir/f.csv")
    assert not c.exists("dir/f.csv")
    assert fast_sleep.calls == [0.5, 0.5]
    gc.collect()
