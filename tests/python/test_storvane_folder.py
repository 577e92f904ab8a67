"""kestro.s3.storvane: the parallel folder transfers."""
import gzip
import io
import os
import threading
import time

import pytest
from botocore.exceptions import ClientError

from kestro.common.defines import Et
from servers.s3_store import bucket, keys_of, s3, store  # noqa: F401 (fixtures)

FILES = {"a.csv": 1536, "sub/b.csv": 100, "sub/deep/c.csv": 52}


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "data"
    for rel, size in FILES.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(os.urandom(size))
    return root


def put(s3, bucket, *keys, body=b"x"):
    for key in keys:
        s3.put_object(Bucket=bucket, Key=key, Body=body)


def body(s3, bucket, key):
    return s3.get_object(Bucket=bucket, Key=key)["Body"].read()


class Stalling:
    """Wraps a real client; transfers of files whose path ends in `bad` fail."""

    def __init__(self, real, bad, error=OSError("disk on fire"), stall=0.0):
        self.real, self.bad, self.error, self.stall = real, bad, error, stall
        self.calls = []

    def __getattr__(self, name):  # everything but the transfers goes to the real client
        return getattr(self.real, name)

    def _maybe_fail(self, local):
        self.calls.append(local)
        if self.stall:
            threading.Event().wait(self.stall)  # time.sleep is replaced in these tests
        if local.endswith(self.bad):
            raise self.error

    def upload_file(self, local, bucket, key):
        self._maybe_fail(local)
        return self.real.upload_file(local, bucket, key)

    def download_file(self, bucket, key, local):
        self._maybe_fail(local)
        return self.real.download_file(bucket, key, local)


class MarkerFails(Stalling):
    """Streams (the markers) fail with `error`; files go through."""

    def __init__(self, real, error):
        super().__init__(real, bad="\0never")
        self.marker_error = error

    def upload_fileobj(self, fileobj, bucket, key):
        raise self.marker_error


def use_client(store, client):
    store.get_s3_client = lambda: client
    return client


# ---- upload ------------------------------------------------------------------


class TestUpload:
    def test_tree_with_marker(self, store, s3, bucket, tree, task_ctx, fast_sleep):
        put(s3, bucket, "out/run/old.csv")
        store.upload_folder(str(tree), "out/run", add_success=True)
        assert keys_of(s3, bucket) == sorted(["out/run/" + rel for rel in FILES] + ["out/run/_SUCCESS"])
        assert body(s3, bucket, "out/run/_SUCCESS")[:2] == b"\x1f\x8b"
        assert gzip.decompress(body(s3, bucket, "out/run/_SUCCESS")) == b""
        assert not tree.exists()

        lines = task_ctx.lines()
        summary, size_lines = lines[0]
        sizes = [float(line.split("M ")[0]) for line in size_lines.split("\n")]
        assert sorted(size_lines.split("\n")) == ["0.0001M b.csv", "0.0015M a.csv", "0.0M c.csv"]
        total = 0
        for size in sizes:  # Python's own sum, in the order the lines were written
            total += size
        assert summary == "upload file info *  file total count 3  file total size %sM" % total
        successes = sorted(line[0].split(" upload success, sub time ")[0] for line in lines[1:-1])
        assert successes == sorted(str(tree / rel) for rel in FILES)
        assert all(float(line[0].rsplit(" ", 1)[1]) >= 0 for line in lines[1:-1])
        assert lines[-1][0] == "out/run upload all time" and float(lines[-1][1]) > 0
        assert len(lines) == 5

    def test_flat_ignores_sub_folders(self, store, s3, bucket, tree, task_ctx, fast_sleep):
        store.upload_folder(str(tree), "flat", isrm=False, isdel=False)
        assert keys_of(s3, bucket) == ["flat/a.csv"]
        assert task_ctx.lines()[0] == ["upload file info *  file total count 1  file total size 0.0015M",
                                       "0.0015M a.csv"]
        assert tree.exists()

    @pytest.mark.parametrize("spelling", ["data", "data/", "./data", "data//"])
    def test_folder_spellings_give_the_same_keys(self, store, s3, bucket, tree, monkeypatch, task_ctx, fast_sleep,
                                                 spelling):
        monkeypatch.chdir(tree.parent)
        store.upload_folder(spelling, "k", isdel=False)
        assert keys_of(s3, bucket) == sorted("k/" + rel for rel in FILES)

    @pytest.mark.parametrize("add_empty, keys", [(True, ["e/_EMPTY"]), (False, [])])
    def test_empty_folder(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep, add_empty, keys):
        empty = tmp_path / "empty"
        empty.mkdir()
        put(s3, bucket, "e/old")
        store.upload_folder(str(empty), "e", add_success=True, add_empty=add_empty)
        assert keys_of(s3, bucket) == keys
        if keys:
            assert gzip.decompress(body(s3, bucket, "e/_EMPTY")) == b""
        lines = task_ctx.lines()
        assert lines[0] == ["upload file info *  file total count 0  file total size 0M", ""]
        assert lines[-1][0] == "e upload all time" and len(lines) == 2
        assert not empty.exists()

    def test_current_folder_is_sent_but_not_deleted(self, store, s3, bucket, tree, monkeypatch, task_ctx,
                                                    fast_sleep):
        monkeypatch.chdir(tree)
        with pytest.raises(Et) as info:
            store.upload_folder(".", "dot", add_success=True)
        assert (info.value.state, info.value.getmsg()) == (2, "cannt del root folder")
        assert keys_of(s3, bucket) == sorted(["dot/" + rel for rel in FILES] + ["dot/_SUCCESS"])
        assert (tree / "a.csv").exists()
        assert not any(line[0].endswith("upload all time") for line in task_ctx.lines())

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"remote_path": ""}, "cannt del root folder"),
            ({"remote_path": "/"}, "cannt del root folder"),
            ({"retry_count": 0}, "retry_count must be at least 1"),
            ({"max_workers": 0}, "max_workers must be at least 1"),
            ({"local_path": "/nonexistent/kestro/folder"}, "local folder not found: /nonexistent/kestro/folder"),
        ],
    )
    def test_refused_before_anything_is_deleted(self, store, s3, bucket, tree, task_ctx, kwargs, message):
        put(s3, bucket, "out/keep", "top")
        args = {"local_path": str(tree), "remote_path": "out", **kwargs}
        with pytest.raises(Et) as info:
            store.upload_folder(**args)
        assert (info.value.state, info.value.getmsg()) == (2, message)
        assert keys_of(s3, bucket) == ["out/keep", "top"]
        assert sorted(p.name for p in tree.rglob("*")) == ["a.csv", "b.csv", "c.csv", "deep", "sub"]
        assert task_ctx.lines() == []

    def test_failing_file_fails_the_transfer(self, store, s3, bucket, tree, task_ctx, fast_sleep):
        use_client(store, Stalling(store.get_s3_client(), "b.csv"))
        with pytest.raises(Et) as info:
            store.upload_folder(str(tree), "out", add_success=True, retry_count=3)
        bad = str(tree / "sub/b.csv")
        assert (info.value.state, info.value.getmsg()) == (2, "upload fail out/sub/b.csv " + bad)
        assert "out/_SUCCESS" not in keys_of(s3, bucket) and tree.exists()
        records = [line[0] for line in task_ctx.lines() if line[0].startswith(bad)]
        assert records == [bad + " upload  fail, repeat %d, error: disk on fire" % i for i in range(3)] + [
            bad + " upload  finally fail: disk on fire"
        ]
        # a task-log pause is 0.5 s less what its line waited for its turn: never more
        waits = [s for s in fast_sleep.calls if s > 0.5]
        assert len(waits) == 2 and all(type(s) is int and 60 <= s <= 120 for s in waits)
        assert not any(line[0].endswith("upload all time") for line in task_ctx.lines())

    def test_tasks_not_started_are_cancelled_after_a_failure(self, store, s3, bucket, tmp_path, task_ctx,
                                                             fast_sleep):
        folder = tmp_path / "many"
        folder.mkdir()
        for i in range(10):
            (folder / ("f%d" % i)).write_bytes(b"x")
        client = use_client(store, Stalling(store.get_s3_client(), "", stall=0.1))
        with pytest.raises(Et):
            store.upload_folder(str(folder), "many", max_workers=1, retry_count=1)
        threading.Event().wait(0.3)  # let the task that was running end
        assert 1 <= len(client.calls) <= 2  # without cancelling, all ten would run

    @pytest.mark.parametrize("isdel", [True, False])
    @pytest.mark.parametrize("error", [
        ClientError({"Error": {"Code": "500", "Message": "We encountered an internal error"}}, "PutObject"),
        ConnectionError("connection reset by peer"),
    ], ids=["service-error", "other-error"])
    @pytest.mark.parametrize("files, marker", [(True, "_SUCCESS"), (False, "_EMPTY")])
    def test_marker_that_is_not_written_fails_the_transfer(self, store, s3, bucket, tree, tmp_path, task_ctx,
                                                           fast_sleep, files, marker, error, isdel):
        source = tree if files else tmp_path / "nothing"
        source.mkdir(exist_ok=True)
        use_client(store, MarkerFails(store.get_s3_client(), error))
        with pytest.raises(Et) as info:
            store.upload_folder(str(source), "out", add_success=True, add_empty=True, isdel=isdel)
        assert (info.value.state, info.value.getmsg()) == (2, "upload fail out/" + marker)
        # the files stay uploaded, the source stays whatever isdel says
        assert keys_of(s3, bucket) == (sorted("out/" + rel for rel in FILES) if files else [])
        assert source.exists()
        if files:
            assert sorted(str(p.relative_to(source)) for p in source.rglob("*") if p.is_file()) == sorted(FILES)
        texts = [line[0] for line in task_ctx.lines()]
        assert not any(t.endswith("upload all time") for t in texts)
        assert ("upload s3 file error:" in texts) is isinstance(error, ClientError)

    def test_upload_fileobj_keeps_its_false_result(self, store, s3, bucket, task_ctx, fast_sleep):
        error = ClientError({"Error": {"Code": "500", "Message": "boom"}}, "PutObject")
        use_client(store, MarkerFails(store.get_s3_client(), error))
        assert store.upload_fileobj(io.BytesIO(b""), "x/_SUCCESS") is False
        assert [line[0] for line in task_ctx.lines()] == ["upload s3 file error:"]

    def test_pauses_overlap(self, store, tmp_path, task_ctx):
        folder = tmp_path / "fifty"
        folder.mkdir()
        for i in range(50):
            (folder / ("f%d" % i)).write_bytes(b"x")
        began = time.monotonic()
        store.upload_folder(str(folder), "fifty")
        # 52 records of 0.5 s each: one after another they would take 26 s.
        assert time.monotonic() - began < 13


# ---- file tasks ------------------------------------------------------------------


class TestFileTask:
    def test_failed_attempt_is_retried(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep):
        src = tmp_path / "one.csv"
        src.write_bytes(b"1")

        class FailOnce(Stalling):
            def _maybe_fail(self, local):
                super()._maybe_fail(local if self.calls else local + "!")

        use_client(store, FailOnce(store.get_s3_client(), "!", error=ConnectionError("reset")))
        assert store._upload_i("t/one.csv", str(src), 5) is None
        assert body(s3, bucket, "t/one.csv") == b"1"
        [failed, done] = [line[0] for line in task_ctx.lines()]
        assert failed == str(src) + " upload  fail, repeat 0, error: reset"
        assert done.startswith(str(src) + " upload success, sub time ")
        assert len([s for s in fast_sleep.calls if s != 0.5]) == 1

    def test_single_attempt_download_fails_at_once(self, store, tmp_path, task_ctx, fast_sleep):
        local = str(tmp_path / "x")
        with pytest.raises(Et) as info:
            store._download_i("missing/key", local, 1)
        assert (info.value.state, info.value.getmsg()) == (2, "download fail missing/key " + local)
        [attempt, final] = [line[0] for line in task_ctx.lines()]
        assert attempt.startswith(local + " download  fail, repeat 0, error: ") and "404" in attempt
        assert final.startswith(local + " download  finally fail: ")
        assert fast_sleep.calls == [0.5, 0.5]

    @pytest.mark.parametrize("count", [0, -1])
    def test_attempt_count_below_one_is_refused(self, store, task_ctx, count):
        with pytest.raises(Et) as info:
            store._upload_i("k", "/nonexistent", count)
        assert (info.value.state, info.value.getmsg()) == (2, "retry_count must be at least 1")


# ---- download ------------------------------------------------------------------


class TestDownload:
    def test_tree(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep, capsys):
        put(s3, bucket, "in/r/a.csv", "in/r/sub/b.csv", "in/rz/w.csv", "other/x")
        put(s3, bucket, "in/r/sub/")  # a folder marker, not a file
        target = tmp_path / "got"
        target.mkdir()
        (target / "stale.txt").write_text("old")
        store.download_folder(str(target), "in/r")
        assert sorted(str(p.relative_to(target)) for p in target.rglob("*") if p.is_file()) == [
            "a.csv", "sub/b.csv", "z/w.csv"]
        assert capsys.readouterr().out == "in/r\n"
        assert keys_of(s3, bucket) == ["other/x"]
        lines = task_ctx.lines()
        assert len(lines) == 4 and lines[-1][0] == "in/r download all time"

    @pytest.mark.parametrize("prefix", ["logs", "logs/"])
    def test_prefix_is_removed_once(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep, prefix):
        put(s3, bucket, "logs/2021/logs/x.txt")
        store.download_folder(str(tmp_path / "x"), prefix, isdel=False)
        assert (tmp_path / "x/2021/logs/x.txt").read_bytes() == b"x"
        assert keys_of(s3, bucket) == ["logs/2021/logs/x.txt"]

    def test_flat_takes_direct_children(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep):
        put(s3, bucket, "exp/run1/0.csv", "exp/run1/sub/1.csv")
        store.download_folder(str(tmp_path / "flat"), "exp/run1", isrm=False, isdel=False)
        assert sorted(p.name for p in (tmp_path / "flat").iterdir()) == ["0.csv"]

    def test_empty_prefix_leaves_an_empty_folder(self, store, tmp_path, task_ctx, fast_sleep, capsys):
        target = tmp_path / "none"
        store.download_folder(str(target), "nothing/here")
        assert target.is_dir() and list(target.iterdir()) == []
        assert [line[0] for line in task_ctx.lines()] == ["nothing/here download all time"]
        assert capsys.readouterr().out == "nothing/here\n"

    @pytest.mark.parametrize("local", [".", "", "/", "sub/..", "/tmp/.."])
    def test_root_target_is_refused(self, store, s3, bucket, tmp_path, monkeypatch, task_ctx, local):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "keep.txt").write_text("k")
        put(s3, bucket, "in/a")
        with pytest.raises(Et) as info:
            store.download_folder(local, "in")
        assert (info.value.state, info.value.getmsg()) == (2, "cannt del root folder")
        assert (tmp_path / "keep.txt").exists() and keys_of(s3, bucket) == ["in/a"]

    def test_failing_file_keeps_the_source(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep):
        put(s3, bucket, "src/a.csv", "src/b.csv")
        use_client(store, Stalling(store.get_s3_client(), "b.csv"))
        with pytest.raises(Et) as info:
            store.download_folder(str(tmp_path / "d"), "src", retry_count=2)
        assert info.value.getmsg() == "download fail src/b.csv " + str(tmp_path / "d/b.csv")
        assert keys_of(s3, bucket) == ["src/a.csv", "src/b.csv"]
