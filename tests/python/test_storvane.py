"""kestro.s3.storvane: client factories and single-object operations."""
import io
import threading
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from botocore.exceptions import ClientError

from kestro.common.defines import Et
from kestro.s3.storvane import Storvane
from servers.s3_store import REGION, bucket, keys_of, s3, store  # noqa: F401 (fixtures)


def put(s3, bucket, *keys, body=b"x"):
    for key in keys:
        s3.put_object(Bucket=bucket, Key=key, Body=body)


class FailingEndpoint:
    """An S3 endpoint answering every request with a 500, counting them."""

    def __init__(self):
        self.count = 0
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_HEAD(self):
                owner.count += 1
                self.send_response(500)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


# ---- construction and factories --------------------------------------------


class TestFactories:
    def test_a_failing_request_is_sent_once(self, fast_sleep):
        # kestro's own attempts are the only ones: the SDK's retries would
        # multiply them and their pauses
        with FailingEndpoint() as endpoint:
            s = Storvane({}, "ak", "sk", "b", REGION, endpoint_url=endpoint.url)
            assert s.is_exists("k") is True  # a 500 reads as "may exist"
        assert endpoint.count == 1 and fast_sleep.calls == []

    def test_defaults_are_empty_texts_and_share_one_context(self):
        # an endpoint: boto3 makes none from an empty region; nothing is sent to it
        a, b = (Storvane(endpoint_url="http://127.0.0.1:9") for _ in range(2))
        assert (a.access_key, a.secret_key, a.bucket, a.region_name) == ("", "", "", "")
        assert a.get_s3_session().region_name == ""  # as given, not from the configuration
        assert a.s3_client.meta.endpoint_url == "http://127.0.0.1:9"
        a.ctx["k"] = 1
        assert b.ctx == {"k": 1} and Storvane({}, endpoint_url="http://127.0.0.1:9").ctx == {}

    def test_every_call_builds_new_objects(self, store):
        assert store.get_s3_session() is not store.get_s3_session()
        assert store.get_s3_client() is not store.get_s3_client()
        assert store.get_s3_bucket().name == store.bucket

    def test_clients_made_in_threads_work(self, store, s3, bucket):
        # Sessions made concurrently share the loaded service models.
        put(s3, bucket, "t/x")
        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(lambda _: store.is_exists("t/x"), range(16)))
        assert results == [True] * 16

    def test_stored_client_is_not_used(self, store, s3, bucket):
        put(s3, bucket, "k/x")
        store.s3_client = None
        assert store.is_exists("k/x") and store.find_prefix("k") == ["k/x"]


# ---- listing -----------------------------------------------------------------


class TestListing:
    @pytest.mark.parametrize(
        "prefix, isrm, expected",
        [
            ("a/b", False, ["a/b/x.csv", "a/bz/w.csv"]),
            ("a/b/", False, ["a/b/x.csv"]),
            ("a/b", True, ["a/b/c/y.csv", "a/b/x.csv", "a/bz/w.csv"]),
            ("", False, []),
            ("nothing/here", True, []),
        ],
    )
    def test_find_prefix_depth(self, store, s3, bucket, prefix, isrm, expected):
        put(s3, bucket, "a/b/x.csv", "a/b/c/y.csv", "a/bz/w.csv")
        assert store.find_prefix(prefix, isrm=isrm) == expected

    def test_find_prefix_follows_every_page(self, store, s3, bucket):
        keys = ["p/%04d" % i for i in range(2500)]
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda k: s3.put_object(Bucket=bucket, Key=k, Body=b""), keys))
        put(s3, bucket, "q/outside")
        requests = []
        client = store.get_s3_client()
        client.meta.events.register("before-parameter-build.s3.ListObjectsV2", lambda params, **_: requests.append(dict(params)))
        store.get_s3_client = lambda: client
        assert store.find_prefix("p") == keys
        assert len(requests) == 3 and {r["MaxKeys"] for r in requests} == {1000}

    def test_list_folder(self, store, s3, bucket):
        put(s3, bucket, "a/b/x", "a/c/y", "a/z")
        assert store.list_folder("a") == ["a/b/", "a/c/"]
        assert store.list_folder("a/") == []  # asks for "a//"
        assert store.list_folder("a/b") == []

    def test_list_folder_logs_service_errors(self, store, task_ctx, fast_sleep):
        store.bucket = "no-such-bucket"
        assert store.list_folder("a") == []
        [line] = task_ctx.lines()
        assert line[0] == "get s3 folders error:" and "NoSuchBucket" in line[1]


# ---- transfers, probes, deletes ----------------------------------------------


class TestObjects:
    def test_file_and_stream_round_trip(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep):
        src = tmp_path / "in.bin"
        src.write_bytes(b"\x00payload\xff" * 1000)
        assert store.upload_file(str(src), "d/in.bin") is True
        assert store.upload_fileobj(io.BytesIO(b"stream"), "d/s.txt") is True
        out = tmp_path / "out.bin"
        assert store.download_file(str(out), "d/in.bin") is True
        assert out.read_bytes() == src.read_bytes()
        assert s3.get_object(Bucket=bucket, Key="d/s.txt")["Body"].read() == b"stream"
        assert task_ctx.lines() == [["111", "None"]]

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda s, tmp: s.download_file(str(tmp / "o"), "missing/key"), "download s3 file error:"),
            (lambda s, tmp: s.upload_fileobj(io.BytesIO(b"x"), "k"), "upload s3 file error:"),
            (lambda s, tmp: s.delete_file("k"), "delete s3 file error:"),
        ],
    )
    def test_service_errors_are_logged_and_false(self, store, tmp_path, task_ctx, fast_sleep, call, message):
        if message != "download s3 file error:":
            store.bucket = "no-such-bucket"
        assert call(store, tmp_path) is False
        [line] = task_ctx.lines()
        assert line[0] == message and len(line) == 2 and line[1]
        assert fast_sleep.calls == [0.5]

    def test_other_errors_pass_through(self, store, tmp_path, task_ctx):
        with pytest.raises(OSError):
            store.upload_file(str(tmp_path / "missing"), "k")
        assert task_ctx.lines() == []

    def test_is_exists(self, store, s3, bucket):
        put(s3, bucket, "e/x")
        assert store.is_exists("e/x") is True
        assert store.is_exists("e/y") is False

    @pytest.mark.parametrize("code, expected", [("403", True), ("404", False), ("500", True), ("AccessDenied", ValueError)])
    def test_is_exists_reads_the_error_code(self, store, code, expected):
        class Refusing:
            def head_object(self, **kwargs):
                raise ClientError({"Error": {"Code": code, "Message": "no"}}, "HeadObject")

        store.get_s3_client = Refusing
        if expected is ValueError:
            with pytest.raises(ValueError):
                store.is_exists("k")
        else:
            assert store.is_exists("k") is expected

    def test_delete_file(self, store, s3, bucket):
        put(s3, bucket, "d/x", "d/y")
        assert store.delete_file("d/x") is True and store.delete_file("d/none") is True
        assert keys_of(s3, bucket) == ["d/y"]

    def test_delete_folder_is_a_character_prefix(self, store, s3, bucket):
        put(s3, bucket, "a/b/x.csv", "a/b/c/y.csv", "a/bz/w.csv", "a/c")
        assert store.delete_folder("a/b") is True
        assert keys_of(s3, bucket) == ["a/c"]
        assert store.delete_folder("a/nothing") is True

    @pytest.mark.parametrize("root", ["", "/", ".", "//"])
    def test_delete_folder_refuses_the_root(self, store, s3, bucket, root):
        put(s3, bucket, "a/x")
        with pytest.raises(Et) as info:
            store.delete_folder(root)
        assert (info.value.state, info.value.getmsg()) == (2, "cannt del root folder")
        assert keys_of(s3, bucket) == ["a/x"]
