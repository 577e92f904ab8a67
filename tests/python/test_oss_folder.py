"""kestro.oss.oss: parallel folder transfers (upload_oss, download_oss) with
the real OSS SDK against the local OSS protocol server."""
import gc
import gzip
import os
import re
import threading
import time

import pytest

from kestro.common.defines import Et
from servers.oss_fixtures import client, files_in, oss, oss_server_session, work_folders  # noqa: F401


def make_files(folder, files):
    for rel, body in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body if isinstance(body, bytes) else body.encode())
    return folder


def puts(oss):
    """Keys of the PUT requests, in arrival order."""
    return [r[2] for r in oss.calls("PUT")]


def wait_until(cond, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


# ---- upload_oss ----------------------------------------------------------------

@pytest.mark.parametrize("isdel", [True, False])
def test_upload_clears_uploads_marks_and_removes(client, oss, task_ctx, fast_sleep, data_root, tmp_path, isdel):
    oss.put("out/old.csv", "old")
    oss.put("out/_SUCCESS", "old marker")
    oss.put("out/keep/sub.csv", "sub-folders are left alone")
    local = make_files(str(tmp_path / "d"), {"a.csv": "1,2\n", "b.csv": "3,4\n"})
    assert client.upload_oss(task_ctx, local, "out/", add_success=True, isdel=isdel) is None

    assert oss.keys() == ["out/_SUCCESS", "out/a.csv", "out/b.csv", "out/keep/sub.csv"]
    assert oss.get("out/a.csv") == b"1,2\n" and gzip.decompress(oss.get("out/_SUCCESS")) == b""
    # the old files went before anything was uploaded, the marker after every file
    methods = [(r[0], r[2]) for r in oss.requests if r[0] in ("PUT", "DELETE")]
    assert methods[:2] == [("DELETE", "out/_SUCCESS"), ("DELETE", "out/old.csv")]
    assert sorted(methods[2:4]) == [("PUT", "out/a.csv"), ("PUT", "out/b.csv")]
    assert methods[4:] == [("PUT", "out/_SUCCESS")]
    assert os.path.exists(local) is not isdel
    assert gzip.decompress(open(os.path.join(data_root, "_SUCCESS"), "rb").read()) == b""

    lines = task_ctx.lines()
    summary, names = lines[0]
    assert summary == "upload file info *  file total count 2  file total size 0.0M"
    assert sorted(names.split("\n")) == ["0.0M a.csv", "0.0M b.csv"]
    status = sorted(line[0] for line in lines[1:3])
    assert [s.split(" upload status ")[0] for s in status] == [local + "/a.csv", local + "/b.csv"]
    assert lines[3][0].startswith(os.path.join(data_root, "_SUCCESS") + " upload status 200, sub time ")
    assert lines[4][0] == "out/ upload oss all time" and float(lines[4][1]) >= 0 and len(lines) == 5
    assert repr(float(lines[4][1])) == lines[4][1]


def test_upload_summary_in_mib_and_local_mode_lines(client, oss, local_mode, fast_sleep, tmp_path, capsys):
    local = make_files(str(tmp_path / "d"), {"big.bin": b"\0" * 1048576})
    client.upload_oss({}, local, "o/", isdel=False)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "upload file info *  file total count 1  file total size 1.0M 1.0M big.bin"
    assert re.fullmatch(re.escape(local) + r"/big.bin upload status 200, sub time \S+", out[1])
    assert re.fullmatch(r"o/ upload oss all time \d+\.\d+(e-\d+)?", out[2])
    assert oss.get("o/big.bin") == b"\0" * 1048576


@pytest.mark.parametrize("isrm, keys", [
    (True, ["out/top.csv", "out/x/data/data.csv", "out/x/y.csv"]),
    (False, ["out/top.csv"]),
])
@pytest.mark.parametrize("spelling", ["data", "data/", "./data"])
def test_upload_keys_keep_the_tree_below_the_folder(client, oss, local_mode, fast_sleep, tmp_path, monkeypatch,
                                                    spelling, isrm, keys):
    monkeypatch.chdir(tmp_path)
    make_files("data", {"top.csv": "t", "x/y.csv": "y", "x/data/data.csv": "d"})
    client.upload_oss({}, spelling, "out/", isrm=isrm, isdel=False)
    assert oss.keys() == keys
    assert oss.get(keys[-1]) == {"out/top.csv": b"t", "out/x/y.csv": b"y"}[keys[-1]]


@pytest.mark.parametrize("layout", [{}, {"x/y.csv": "only in a sub-folder"}, None])
def test_upload_of_nothing_writes_only_the_empty_marker(client, oss, task_ctx, fast_sleep, tmp_path, layout):
    local = str(tmp_path / "d")
    if layout is not None:
        os.makedirs(local)
        make_files(local, layout)
    client.upload_oss(task_ctx, local, "out/", add_success=True, add_empty=True)
    assert oss.keys() == ["out/_EMPTY"] and gzip.decompress(oss.get("out/_EMPTY")) == b""
    lines = task_ctx.lines()
    assert lines[0] == ["upload file info *  file total count 0  file total size 0M", ""]
    assert lines[1][0].endswith("_EMPTY upload status 200, sub time " + lines[1][0].split()[-1])
    assert lines[2][0] == "out/ upload oss all time" and len(lines) == 3
    # nothing was uploaded, so nothing but empty folders may go
    assert (files_in(local) if layout else os.path.exists(local)) == (["x/y.csv"] if layout else False)


def test_upload_failure_raises_without_marker_and_keeps_the_source(client, oss, task_ctx, fast_sleep, tmp_path):
    local = make_files(str(tmp_path / "d"), {"a.csv": "a", "bad.csv": "b", "c.csv": "c"})
    oss.add_fault("status", method="PUT", key="out/bad.csv", times=None, status=500)
    with pytest.raises(Et) as err:
        client.upload_oss(task_ctx, local, "out/", add_success=True, max_workers=3)
    assert err.value.state == 2 and err.value.getmsg() == "upload fail out/bad.csv %s/bad.csv" % local
    assert "out/_SUCCESS" not in oss.keys() and files_in(local) == ["a.csv", "bad.csv", "c.csv"]
    texts = [line[0] for line in task_ctx.lines()]
    assert not any("all time" in t for t in texts)
    assert sum("upload oss fail, repeat" in t for t in texts) == 3


@pytest.mark.parametrize("isdel", [True, False])
@pytest.mark.parametrize("files, marker", [({"a.csv": "a", "s/b.csv": "b"}, "_SUCCESS"), ({}, "_EMPTY")])
def test_marker_that_is_not_written_fails_the_upload(client, oss, task_ctx, fast_sleep, data_root, tmp_path, files,
                                                     marker, isdel):
    local = str(tmp_path / "d")
    os.makedirs(local)
    make_files(local, files)
    oss.add_fault("status", method="PUT", key="out/" + marker, times=None, status=503)
    with pytest.raises(Et) as err:
        client.upload_oss(task_ctx, local, "out/", add_success=True, add_empty=True, isrm=True, isdel=isdel)
    assert (err.value.state, err.value.getmsg()) == (
        2, "upload fail out/%s %s" % (marker, os.path.join(data_root, marker)))
    assert len(oss.calls("PUT", "out/" + marker)) == 3
    # what was uploaded stays, and so does the source, whatever isdel says
    assert oss.keys() == sorted("out/" + f for f in files)
    assert os.path.isdir(local) and files_in(local) == sorted(files)
    assert not any("all time" in line[0] for line in task_ctx.lines())


def test_upload_removes_only_what_it_uploaded(client, oss, local_mode, fast_sleep, tmp_path):
    local = make_files(str(tmp_path / "d"), {"a.csv": "a", "b.csv": "b", "sub/keep.csv": "k", "e/f/.x": "x"})
    os.makedirs(os.path.join(local, "empty"))

    class Busy(type(client)):
        def _upload_oss(self, ctx, td_file, local_file):
            if td_file == "out/a.csv":
                make_files(local, {"late.csv": "written during the upload"})
            super()._upload_oss(ctx, td_file, local_file)

    Busy("bucket1", "a", "b", oss.url, retry_time_sleep=0).upload_oss({}, local, "out/", max_workers=1)
    assert oss.keys() == ["out/a.csv", "out/b.csv"]
    assert files_in(local) == ["e/f/.x", "late.csv", "sub/keep.csv"]
    assert not os.path.exists(os.path.join(local, "empty"))
    client.upload_oss({}, local, "out/", isrm=True)
    assert not os.path.exists(local) and "out/e/f/.x" in oss.keys()


@pytest.mark.parametrize("max_workers", [0, -1, 2.5, "4", None])
def test_bad_max_workers_is_refused_before_anything_is_cleared(client, oss, local_mode, tmp_path, max_workers):
    oss.put("out/old.csv", "keep")
    local = make_files(str(tmp_path / "d"), {"a.csv": "a"})
    for call in (lambda: client.upload_oss({}, local, "out/", max_workers=max_workers),
                 lambda: client.download_oss({}, local, "out/", max_workers=max_workers)):
        with pytest.raises(Et) as err:
            call()
        assert err.value.state == 2 and "max_workers" in err.value.getmsg()
    assert oss.keys() == ["out/old.csv"] and files_in(local) == ["a.csv"]
    assert oss.requests == []


def test_marker_folder_is_created_when_missing(client, oss, local_mode, fast_sleep, tmp_path, monkeypatch):
    root = tmp_path / "no" / "such" / "root"
    monkeypatch.setenv("KESTRO_DATA_ROOT", str(root))
    local = make_files(str(tmp_path / "d"), {"a.csv": "a"})
    client.upload_oss({}, local, "out/", add_success=True)
    client.upload_oss({}, str(tmp_path / "empty"), "empty/", add_empty=True)
    assert oss.keys() == ["empty/_EMPTY", "out/_SUCCESS", "out/a.csv"]
    assert sorted(os.listdir(root)) == ["_EMPTY", "_SUCCESS"]


def test_first_failure_cancels_tasks_not_yet_started(client, oss, local_mode, fast_sleep, tmp_path, capsys):
    local = make_files(str(tmp_path / "d"), {"f%02d.csv" % k: "x" for k in range(20)})
    # each attempt takes 0.1 s, so a task runs long enough for the cancelling
    oss.add_fault("status", method="PUT", times=None, status=500, delay=0.1)
    with pytest.raises(Et):
        client.upload_oss({}, local, "out/", max_workers=2)
    # the two first tasks, and the one each worker may pick up before the
    # caller cancels the rest
    wait_until(lambda: not any(t.name.startswith("ThreadPoolExecutor") and t.is_alive()
                               for t in threading.enumerate()))
    started = set(puts(oss))
    assert len(started) <= 4 and len(puts(oss)) == 3 * len(started)
    count = len(puts(oss))
    time.sleep(0.2)
    assert len(puts(oss)) == count
    assert capsys.readouterr().out.count("finally fail") == len(started)


def test_running_tasks_finish_with_client_and_ctx_alive(oss, task_ctx, fast_sleep, tmp_path):
    from kestro.oss.oss import AliyunOss

    c = AliyunOss("bucket1", "a", "b", oss.url, retry_time_sleep=0)
    local = make_files(str(tmp_path / "d"), {"bad.csv": "x", "slow.csv": "y"})
    oss.add_fault("status", method="PUT", key="out/bad.csv", times=None, status=500)
    oss.add_fault("stall", method="PUT", key="out/slow.csv", delay=1.5)
    ctx = dict(task_ctx)
    with pytest.raises(Et):
        c.upload_oss(ctx, local, "out/", max_workers=2)
    assert oss.get("out/slow.csv") is None  # still on its way
    del c, ctx
    gc.collect()
    assert wait_until(lambda: any("slow.csv upload status 200" in line[0] for line in task_ctx.lines()))
    assert oss.get("out/slow.csv") == b"y"


def test_waits_overlap_on_the_pool(client, oss, local_mode, tmp_path, capsys):
    # 40 files x (0.5 s task-log pause) on 40 workers: well under the 20 s
    # they would take one after the other
    local = make_files(str(tmp_path / "d"), {"f%02d" % k: "x" for k in range(40)})
    start = time.monotonic()
    client.upload_oss({}, local, "out/", max_workers=40)
    elapsed = time.monotonic() - start
    assert len(oss.keys()) == 40 and elapsed < 6
    assert capsys.readouterr().out.count("upload status 200") == 40


# ---- download_oss -----------------------------------------------------------------

@pytest.mark.parametrize("isrm, local_files", [(False, ["a.csv"]), (True, ["a.csv", "s/b.csv"])])
def test_download_empties_the_folder_and_deletes_the_direct_files(client, oss, task_ctx, fast_sleep, tmp_path,
                                                                  isrm, local_files):
    oss.put("in/a.csv", "a")
    oss.put("in/s/b.csv", "b")
    local = make_files(str(tmp_path / "d"), {"old.csv": "old", "olds/x": "x"})
    client.download_oss(task_ctx, local, "in/", isrm=isrm)
    assert files_in(local) == local_files
    assert open(os.path.join(local, "a.csv")).read() == "a"
    assert oss.keys() == ["in/s/b.csv"]
    lines = task_ctx.lines()
    assert sorted(line[0].split(" download status ")[0] for line in lines[:-1]) == [
        os.path.join(local, f) for f in local_files]
    assert lines[-1][0] == "in/ download oss all time" and float(lines[-1][1]) >= 0


@pytest.mark.parametrize("spelling", ["in", "in/"])
def test_download_tree_paths_remove_the_folder_prefix_once(client, oss, local_mode, fast_sleep, tmp_path,
                                                           spelling):
    oss.put("in/s/in/in.csv", "deep")
    oss.put("in/in", "top")
    client.download_oss({}, str(tmp_path / "d"), spelling, isrm=True, isdel=False)
    assert files_in(tmp_path / "d") == ["in", "s/in/in.csv"]
    assert open(tmp_path / "d" / "s" / "in" / "in.csv").read() == "deep"


def test_download_refuses_keys_that_leave_the_local_folder(client, oss, local_mode, fast_sleep, tmp_path):
    oss.put("in/ok.csv", "ok")
    oss.put("in/../../escape.csv", "bad")
    with pytest.raises(Et) as err:
        client.download_oss({}, str(tmp_path / "a" / "d"), "in/", isrm=True)
    assert err.value.state == 2 and "in/../../escape.csv" in err.value.getmsg()
    assert not os.path.exists(tmp_path / "escape.csv") and oss.get("in/ok.csv") == b"ok"
    assert oss.calls("GET", "in/ok.csv") == []


def test_download_of_an_empty_folder(client, oss, task_ctx, fast_sleep, tmp_path):
    local = str(tmp_path / "x" / "d")
    client.download_oss(task_ctx, local, "in/")
    assert os.path.isdir(local) and os.listdir(local) == []
    assert [line[0] for line in task_ctx.lines()] == ["in/ download oss all time"]


def test_download_failure_keeps_every_source_object(client, oss, local_mode, fast_sleep, tmp_path):
    for k in range(5):
        oss.put("in/f%d" % k, "x")
    oss.add_fault("reset", method="GET", key="in/f3", times=None)
    with pytest.raises(Et) as err:
        client.download_oss({}, str(tmp_path / "d"), "in/", max_workers=5)
    assert err.value.getmsg() == "download fail in/f3 %s/f3" % (tmp_path / "d")
    assert len(oss.keys()) == 5 and "f3" not in files_in(tmp_path / "d")


def test_download_deletes_only_what_it_downloaded(client, oss, local_mode, fast_sleep, tmp_path):
    oss.put("in/a.csv", "a")

    class Late(type(client)):
        def _download_oss(self, ctx, td_file, local_file):
            oss.put("in/late.csv", "arrived during the transfer")
            super()._download_oss(ctx, td_file, local_file)

    late = Late("bucket1", "a", "b", oss.url, retry_time_sleep=0)
    late.download_oss({}, str(tmp_path / "d"), "in/")
    assert oss.keys() == ["in/late.csv"] and files_in(tmp_path / "d") == ["a.csv"]


@pytest.mark.parametrize("folder", ["", ".", "./", "/", "/tmp/..", "..", "a/../..", "x/.."])
def test_download_never_empties_the_current_or_root_folder(client, oss, local_mode, tmp_path, monkeypatch, folder):
    work = tmp_path / "a" / "b"
    work.mkdir(parents=True)
    (work / "keep").write_text("k")
    monkeypatch.chdir(work)
    oss.put("in/f", "f")
    with pytest.raises(Et) as err:
        client.download_oss({}, folder, "in/")
    assert err.value.state == 2
    assert files_in(tmp_path) == ["a/b/keep"] and oss.requests == []


def test_download_stops_when_the_local_folder_cannot_be_emptied(client, oss, local_mode, tmp_path):
    target = tmp_path / "real"
    target.mkdir()
    (target / "keep").write_text("k")
    os.symlink(target, tmp_path / "link")
    oss.put("in/a", "a")
    with pytest.raises(FileExistsError):
        client.download_oss({}, str(tmp_path / "link"), "in/")
    assert files_in(target) == ["keep"] and oss.keys() == ["in/a"]


def test_round_trip_of_a_tree(client, oss, local_mode, fast_sleep, tmp_path):
    files = {"a.csv": os.urandom(3000), "s/b.bin": os.urandom(70000), "s/t/c": b"", ".hidden": b"h"}
    src = make_files(str(tmp_path / "src"), files)
    client.upload_oss({}, src, "rt/", add_success=True, isrm=True, max_workers=3)
    assert not os.path.exists(src)
    client.download_oss({}, str(tmp_path / "dst"), "rt/", isrm=True, isdel=False, max_workers=3)
    got = {f: open(os.path.join(tmp_path, "dst", f), "rb").read() for f in files_in(tmp_path / "dst")}
    assert got.pop("_SUCCESS") and got == files
