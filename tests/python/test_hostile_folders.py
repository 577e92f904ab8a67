"""Folder transfers against listings and source folders an unlucky service
meets: keys that name one local file twice or leave the folder, sources
holding pipes, sockets, devices, link loops and names that are no text, a
full disk, a listing that fails. Nothing is lost or overwritten, nothing
hangs, and a refusal comes before anything is deleted. OSS and S3 alike."""
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

from kestro.common.defines import Et
from servers.oss_fixtures import client, files_in, oss, oss_server_session, work_folders  # noqa: F401
from servers.s3_store import REGION, bucket, keys_of, s3, store  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))


class OssSide:
    """upload_oss/download_oss on the suite's OSS server."""

    name = "oss"

    def __init__(self, client, server, ctx):
        self.client, self.server, self.ctx = client, server, ctx

    def put(self, key, data=b"x"):
        self.server.put(key, data)

    def keys(self):
        return self.server.keys()

    def download(self, local, remote, **kw):
        return self.client.download_oss(self.ctx, local, remote, **kw)

    def upload(self, local, remote, **kw):
        return self.client.upload_oss(self.ctx, local, remote, **kw)

    def object_gets(self):
        return [r for r in self.server.calls("GET") if r[2]]


class S3Side:
    """upload_folder/download_folder on moto_server."""

    name = "s3"

    def __init__(self, store, s3, bucket):
        self.store, self.s3, self.bucket = store, s3, bucket

    def put(self, key, data=b"x"):
        self.s3.put_object(Bucket=self.bucket, Key=key, Body=data)

    def keys(self):
        return keys_of(self.s3, self.bucket)

    def download(self, local, remote, **kw):
        return self.store.download_folder(local, remote, **kw)

    def upload(self, local, remote, **kw):
        return self.store.upload_folder(local, remote, **kw)


@pytest.fixture(params=["oss", "s3"])
def side(request, task_ctx, fast_sleep):
    if request.param == "oss":
        return OssSide(request.getfixturevalue("client"), request.getfixturevalue("oss"), task_ctx)
    return S3Side(request.getfixturevalue("store"), request.getfixturevalue("s3"), request.getfixturevalue("bucket"))


def old_folder(path):
    """A destination that already holds a file: it must survive a refusal."""
    os.makedirs(os.path.join(path, "sub"))
    with open(os.path.join(path, "sub", "old.csv"), "w") as f:
        f.write("previous output")
    return str(path)


def refused(call):
    with pytest.raises(Et) as info:
        call()
    assert info.value.state == 2
    return info.value.getmsg()


# ---- keys ----------------------------------------------------------------------------

# (store, keys, folder, tree, the two keys named): every pair names one local file,
# or one key's file is the other's folder
CLASHES = [
    ("oss", ["in/a.txt", "in//a.txt"], "in/", True, ("in/a.txt", "in//a.txt")),
    ("oss", ["in/a.txt", "in/./a.txt"], "in/", True, ("in/a.txt", "in/./a.txt")),
    ("oss", ["in/a", "in/a/b"], "in/", True, ("in/a", "in/a/b")),
    ("s3", ["p/x/a", "px/a"], "p", True, ("p/x/a", "px/a")),
    ("s3", ["p/a", "px/a"], "p", False, ("p/a", "px/a")),
    ("s3", ["p//a", "p/a"], "p", True, ("p//a", "p/a")),
    ("s3", ["p/a", "p/a/b"], "p", True, ("p/a", "p/a/b")),
    ("s3", ["p/d/x", "p/d/x/y/z"], "p/", True, ("p/d/x", "p/d/x/y/z")),
]


class TestKeys:
    @pytest.mark.parametrize("side, keys, folder, tree, named", CLASHES, indirect=["side"])
    def test_keys_naming_one_local_path_are_refused_before_anything_moves(self, side, tmp_path, task_ctx, keys,
                                                                         folder, tree, named):
        for k, key in enumerate(keys):
            side.put(key, b"body %d" % k)
        assert side.keys() == sorted(keys)
        local = old_folder(tmp_path / "d")
        message = refused(lambda: side.download(local, folder, isrm=tree, isdel=True))
        assert "'%s'" % named[0] in message and "'%s'" % named[1] in message
        assert message.startswith("keys ") and " name one local path: " + local + "/" in message
        assert side.keys() == sorted(keys)
        assert files_in(local) == ["sub/old.csv"]
        assert task_ctx.lines() == []
        if side.name == "oss":
            assert side.object_gets() == []

    @pytest.mark.parametrize("keys, tree", [
        (["in/../../escape.csv"], True),
        (["in/..", "in/ok"], False),
        (["in/x/../../../escape"], True),
    ])
    def test_keys_leaving_the_folder_are_refused(self, side, tmp_path, task_ctx, keys, tree):
        if side.name == "oss" and not tree:
            pytest.skip("the OSS server lists no '..' beside a delimiter")
        for key in keys:
            side.put(key)
        local = old_folder(tmp_path / "a" / "d")
        message = refused(lambda: side.download(local, "in", isrm=tree))
        assert message == "key leaves the local folder: " + keys[0]
        assert files_in(tmp_path) == ["a/d/sub/old.csv"] and side.keys() == sorted(keys)

    def test_local_folder_holding_nul_is_refused_not_cut_short(self, side, tmp_path):
        side.put("in/a")
        kept = old_folder(tmp_path / "d")
        message = refused(lambda: side.download(kept + "\0x", "in", isrm=True))
        # refused by the argument check, which names the store's own parameter, before the planner sees it
        nul_refusal = {"oss": "local_file_path", "s3": "local_path"}[side.name] + " must not contain a NUL character"
        assert message == nul_refusal
        assert files_in(kept) == ["sub/old.csv"] and side.keys() == ["in/a"]
        message = refused(lambda: side.upload(kept + "\0x", "out", isrm=True))
        assert message == nul_refusal
        assert files_in(kept) == ["sub/old.csv"] and side.keys() == ["in/a"]


class TestMovesDeleteOnlyWhatArrived:
    @pytest.mark.parametrize("tree", [False, True])
    def test_s3_download_deletes_the_objects_it_downloaded(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep,
                                                           tree):
        for key in ["p/a", "p/sub/b", "p/sub/", "q/other"]:
            s3.put_object(Bucket=bucket, Key=key, Body=b"x")

        class Late(type(store)):
            def _download_i(self, remote_file, local_file, retry_count):
                s3.put_object(Bucket=bucket, Key="p/late", Body=b"arrived after the listing")
                s3.put_object(Bucket=bucket, Key="p/sub/late", Body=b"arrived after the listing")
                super()._download_i(remote_file, local_file, retry_count)

        late = Late(task_ctx, "ak", "sk", bucket, REGION, endpoint_url=store.get_s3_client().meta.endpoint_url)
        late.download_folder(str(tmp_path / "d"), "p", isrm=tree, isdel=True)
        got = files_in(tmp_path / "d")
        assert got == (["a", "sub/b"] if tree else ["a"])
        # the one-level download leaves the sub-folder (marker included); a tree takes its marker
        left = ["p/late", "p/sub/late", "q/other"] + ([] if tree else ["p/sub/", "p/sub/b"])
        assert keys_of(s3, bucket) == sorted(left)

    def test_s3_batch_delete_in_pages_of_at_most_1000(self, store, tmp_path, task_ctx, fast_sleep):
        keys = ["p/f%04d" % k for k in range(2345)]
        pages = []

        class Bucket:
            def delete_objects(self, Delete):
                pages.append([o["Key"] for o in Delete["Objects"]])
                return {}

        class Offline(type(store)):
            def find_prefix(self, remote_path, isrm=True):
                return list(keys)

            def _download_i(self, remote_file, local_file, retry_count):
                open(local_file, "w").close()

            def get_s3_bucket(self):
                return Bucket()

        Offline(task_ctx, "ak", "sk", "b", REGION, endpoint_url="http://127.0.0.1:9").download_folder(
            str(tmp_path / "d"), "p", max_workers=4)
        assert [len(p) for p in pages] == [1000, 1000, 345]
        assert sum(pages, []) == keys

    def test_s3_keys_the_service_keeps_fail_the_move(self, store, tmp_path, task_ctx, fast_sleep):
        class Bucket:
            def delete_objects(self, Delete):
                return {"Errors": [{"Key": "p/b", "Code": "AccessDenied", "Message": "no"}]}

        class Offline(type(store)):
            def find_prefix(self, remote_path, isrm=True):
                return ["p/a", "p/b"]

            def _download_i(self, remote_file, local_file, retry_count):
                open(local_file, "w").close()

            def get_s3_bucket(self):
                return Bucket()

        message = refused(lambda: Offline(task_ctx, "ak", "sk", "b", REGION, endpoint_url="http://127.0.0.1:9")
                          .download_folder(str(tmp_path / "d"), "p"))
        assert message == "delete fail p/b: AccessDenied (1 of 2 keys not deleted)"
        assert files_in(tmp_path / "d") == ["a", "b"]

    def test_s3_upload_to_a_folder_leaves_its_namesakes(self, store, s3, bucket, tmp_path, task_ctx, fast_sleep):
        for key in ["out/old.csv", "outbox/keep", "out"]:
            s3.put_object(Bucket=bucket, Key=key, Body=b"x")
        src = tmp_path / "src"
        src.mkdir()
        (src / "a.csv").write_text("a")
        store.upload_folder(str(src), "out", isrm=True)
        assert keys_of(s3, bucket) == ["out", "out/a.csv", "outbox/keep"]


# ---- source folders ------------------------------------------------------------------


def make_fifo(path):
    os.mkfifo(path)


def make_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.close()


def make_device_link(path):
    os.symlink("/dev/zero", path)  # a read of it never ends


def make_loop(path):
    os.symlink(os.path.basename(path), path)


def make_dangling(path):
    os.symlink(path + ".gone", path)


SPECIALS = [
    (make_fifo, "not a regular file: {}"),
    (make_socket, "not a regular file: {}"),
    (make_device_link, "not a regular file: {}"),
    (make_loop, "cannot follow link: {} (Too many levels of symbolic links)"),
    (make_dangling, "cannot follow link: {} (No such file or directory)"),
]


def run_bounded(call, seconds=60):
    """call() on a thread; a hang fails the test instead of the run."""
    outcome = {}

    def target():
        try:
            outcome["value"] = call()
        except BaseException as e:  # noqa: B902 (handed to the test's thread)
            outcome["error"] = e

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "the transfer hangs"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


class TestSourceFolders:
    @pytest.mark.parametrize("make, message", SPECIALS, ids=[m.__name__ for m, _ in SPECIALS])
    @pytest.mark.parametrize("nested", [False, True])
    def test_unreadable_entries_are_refused_before_the_destination_is_cleared(self, side, tmp_path, task_ctx, make,
                                                                              message, nested):
        side.put("out/old.csv", b"previous upload")
        src = tmp_path / "src"
        (src / "s").mkdir(parents=True)
        (src / "a.csv").write_text("a")
        odd = str(src / ("s/odd" if nested else "odd"))
        make(odd)
        got = refused(lambda: run_bounded(lambda: side.upload(str(src), "out/", isrm=True, add_success=True)))
        assert got == message.format(odd)
        assert side.keys() == ["out/old.csv"]
        assert (src / "a.csv").exists() and os.path.lexists(odd)
        assert task_ctx.lines() == []

    def test_one_level_upload_never_looks_into_sub_folders(self, side, tmp_path, task_ctx):
        src = tmp_path / "src"
        (src / "s").mkdir(parents=True)
        (src / "a.csv").write_text("a")
        make_fifo(str(src / "s" / "pipe"))
        run_bounded(lambda: side.upload(str(src), "out/", isrm=False, isdel=True))
        assert side.keys() == ["out/a.csv"]
        assert files_in(src) == ["s/pipe"]  # the sent file went, the pipe stayed unopened

    def test_names_that_are_no_text_are_refused(self, side, tmp_path, task_ctx):
        side.put("out/old.csv")
        src = tmp_path / "src"
        src.mkdir()
        (src / "a.csv").write_text("a")
        with open(os.fsencode(str(src)) + b"/caf\xe9.csv", "wb") as f:
            f.write(b"latin-1 name")
        message = refused(lambda: side.upload(str(src), "out/", isrm=True))
        assert message == "file name is not UTF-8: %s/caf\\xe9.csv" % src
        assert side.keys() == ["out/old.csv"] and len(os.listdir(os.fsencode(str(src)))) == 2

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads every folder")
    def test_unreadable_sub_folder_is_refused(self, side, tmp_path, task_ctx):
        side.put("out/old.csv")
        src = tmp_path / "src"
        (src / "locked").mkdir(parents=True)
        (src / "locked" / "x").write_text("x")
        os.chmod(str(src / "locked"), 0)
        try:
            message = refused(lambda: side.upload(str(src), "out/", isrm=True))
        finally:
            os.chmod(str(src / "locked"), 0o700)
        assert message == "cannot read folder: %s/locked (Permission denied)" % src
        assert side.keys() == ["out/old.csv"]


# ---- arguments and listings before the destination is cleared ---------------------


class TestNothingClearedForNothing:
    def test_none_remote_path(self, side, tmp_path):
        side.put("in/a")
        local = old_folder(tmp_path / "d")
        for call in (lambda: side.download(local, None), lambda: side.upload(local, None)):
            with pytest.raises((Et, TypeError)):
                call()
        assert files_in(local) == ["sub/old.csv"] and side.keys() == ["in/a"]

    def test_failing_listing_keeps_the_local_folder(self, side, tmp_path, monkeypatch):
        local = old_folder(tmp_path / "d")
        if side.name == "oss":
            side.server.add_fault("status", method="GET", times=None)
            errors = Exception
        else:
            def broken(*args, **kwargs):
                raise OSError("listing failed")

            monkeypatch.setattr(side.store, "find_prefix", broken)
            errors = OSError
        with pytest.raises(errors):
            side.download(local, "in/", isrm=True)
        assert files_in(local) == ["sub/old.csv"]


# ---- a full disk ----------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import os, resource, signal, sys, time
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)
    time.sleep = lambda s: None
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past the limit fail with EFBIG
    from kestro.common.defines import Et
    side, url, bucket, local = sys.argv[1:5]
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    try:
        if side == "oss":
            from kestro.oss.oss import AliyunOss
            AliyunOss(bucket, "AKID-test", "SECRET-test", url, retry_time_sleep=0).download_oss(
                {}, local, "in/", isrm=True, max_workers=2)
        else:
            from kestro.s3.storvane import Storvane
            Storvane({}, "ak", "sk", bucket, "us-east-1", endpoint_url=url).download_folder(
                local, "in", max_workers=2, retry_count=1)
    except Et as e:
        # one write: print() writes its pieces apart, and a task still running may log between them
        sys.stdout.write("Et %s %s\\n" % (e.state, e.getmsg()))
""")


class TestFullDisk:
    def test_download_that_cannot_be_written_deletes_nothing(self, side, tmp_path):
        side.put("in/small", b"s" * 100)
        side.put("in/big", os.urandom(20000))
        if side.name == "oss":
            url, bucket_name = side.server.url, "bucket1"
        else:
            url, bucket_name = side.store.get_s3_client().meta.endpoint_url, side.bucket
        local = str(tmp_path / "d")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.path.dirname(HERE)]))
        out = subprocess.run([sys.executable, "-c", CHILD, side.name, url, bucket_name, local], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        # the other file's task may still log after the failure was raised
        raised = [line for line in out.stdout.decode().splitlines() if line.startswith("Et ")]
        assert raised == ["Et 2 download fail in/big %s/big" % local], out.stderr.decode()[-2000:]
        assert side.keys() == ["in/big", "in/small"]
        # no partial file under the final name
        assert not os.path.exists(os.path.join(local, "big")) or os.path.getsize(os.path.join(local, "big")) == 20000


# ---- an interrupt mid-transfer -----------------------------------------------------

INTERRUPTED = textwrap.dedent("""
    import os, sys, threading, time
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)
    from kestro.s3.storvane import Storvane
    url, bucket, local = sys.argv[1:4]

    class Slow(Storvane):
        def _download_i(self, remote_file, local_file, retry_count):
            sys.stdout.write("started\\n")  # one write: both tasks start at once
            sys.stdout.flush()
            threading.Event().wait(5)

    Slow({}, "ak", "sk", bucket, "us-east-1", endpoint_url=url).download_folder(local, "in", max_workers=2)
""")


def test_interrupted_download_deletes_nothing(store, s3, bucket, tmp_path):
    for key in ("in/a", "in/b"):
        s3.put_object(Bucket=bucket, Key=key, Body=b"x")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.path.dirname(HERE)]))
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED, store.get_s3_client().meta.endpoint_url, bucket,
                             str(tmp_path / "d")], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"started\n"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode != 0 and b"KeyboardInterrupt" in err
    assert keys_of(s3, bucket) == ["in/a", "in/b"]


def test_upload_removes_only_what_it_sent(side, tmp_path, task_ctx):
    src = tmp_path / "src"
    (src / "s").mkdir(parents=True)
    (src / "a.csv").write_text("a")
    (src / "s" / "never_sent.csv").write_text("kept")

    def late_write():  # a file written into the source while the upload runs
        (src / "late.csv").write_text("written during the upload")

    if side.name == "oss":
        real = side.client._upload_oss
        side.client._upload_oss = lambda ctx, key, path: (late_write(), real(ctx, key, path))[1]
    else:
        real = side.store._upload_i
        side.store._upload_i = lambda key, path, count: (late_write(), real(key, path, count))[1]
    side.upload(str(src), "out/", isrm=False, isdel=True)
    assert side.keys() == ["out/a.csv"]
    assert files_in(src) == ["late.csv", "s/never_sent.csv"]


def test_upload_keeps_a_file_written_while_it_was_sent(side, tmp_path, task_ctx):
    src = tmp_path / "src"
    src.mkdir()
    (src / "a.csv").write_text("a")
    (src / "growing.csv").write_text("first half,")

    def after(path):  # the writer finishes once the first half is sent
        if path.endswith("growing.csv"):
            with open(path, "a") as f:
                f.write("second half")

    if side.name == "oss":
        real = side.client._upload_oss
        side.client._upload_oss = lambda ctx, key, path: (real(ctx, key, path), after(path))[0]
    else:
        real = side.store._upload_i
        side.store._upload_i = lambda key, path, count: (real(key, path, count), after(path))[0]
    side.upload(str(src), "out/", isrm=True, isdel=True)
    assert side.keys() == ["out/a.csv", "out/growing.csv"]
    assert files_in(src) == ["growing.csv"]
    assert (src / "growing.csv").read_text() == "first half,second half"
    assert [str(src / "growing.csv") + " changed while it was uploaded, kept"] in task_ctx.lines()
