"""Hostile arguments to every public operation: wrong types, None, huge,
negative and NaN numbers, bools where a count is asked, NUL characters and
over-long texts. Each is refused with Et state 2 or a TypeError naming the
parameter, before anything is sent, written or deleted: every client here
points at a port where nothing listens, and every factory that would reach
a store is replaced by one that fails the test."""
import math
import os

import numpy

import pytest

from kestro.common.defines import BMOBJ, Et
from kestro.oss.oss import AliyunOss, OssSession
from kestro.pyspark_k8s.podwarden import PodWarden
from kestro.quorel.quorel import ThinkDataQuery
from kestro.s3.storvane import Storvane

DEAD = "http://127.0.0.1:9"  # the discard port: a request would fail, not be refused

HUGE = 10 ** 30
NAN = float("nan")
INF = float("inf")
NUL = "a\x00b"
LONG_KEY = "k" * 2000

# values no count accepts (0 is added where the count starts at 1)
BAD_COUNTS = [None, "4", 2.5, True, HUGE, -HUGE, -1, NAN]
# values no time-out or pause accepts
BAD_SECONDS = ["1", True, NAN, INF, -INF, -1, 10 ** 400]
# values no text parameter accepts
BAD_TEXTS = [None, 5, b"bytes", NUL]


def assert_refused(call, name):
    with pytest.raises((Et, TypeError)) as err:
        call()
    e = err.value
    if isinstance(e, Et):
        assert e.state == 2, e.getmsg()
        assert name in e.getmsg()
    else:
        assert name in str(e)
    return e


class Untouchable:
    """Stands for any client: the test fails if an operation reaches it."""

    def __getattr__(self, name):
        raise AssertionError("reached the client: " + name)

    def __call__(self, *args, **kwargs):
        raise AssertionError("reached a factory")


@pytest.fixture
def oss_client(local_mode):
    c = AliyunOss("bucket1", "AKID", "a-secret-of-some-length", DEAD, retry_time_sleep=0)
    c.bucket = Untouchable()
    return c


@pytest.fixture
def query():
    return ThinkDataQuery(DEAD + "/querySql", "tok", hive_conn_info=["127.0.0.1", 9])


@pytest.fixture
def store(local_mode):
    s = Storvane({}, "ak", "sk", "bucket1", "us-east-1", endpoint_url=DEAD)
    s.get_s3_client = s.get_s3_bucket = s.get_s3_resource = Untouchable()
    return s


@pytest.fixture
def warden():
    w = object.__new__(PodWarden)
    w.k8s_client = Untouchable()
    return w


def cases(op, name, values, call):
    return [pytest.param(call, name, v, id="%s-%s-%r" % (op, name, v)[:80]) for v in values]


# ---- counts, sizes, time-outs, pauses ------------------------------------------------

# The counts of COUNT_FAMILIES below are checked there with every one of these
# values; here only the values beyond their family's.
NUMBERS = (
    cases("OssSession", "pool_maxsize", BAD_COUNTS + [0, 10 ** 9], lambda env, v: OssSession(10, v))
    + cases("AliyunOss", "pool_maxsize", [10 ** 9], lambda env, v: AliyunOss("bucket1", "k", "s", DEAD, pool_maxsize=v))
    + cases("AliyunOss", "timeout", BAD_SECONDS + [0], lambda env, v: AliyunOss("bucket1", "k", "s", DEAD, timeout=v))
    + cases("AliyunOss", "retry_time_sleep", BAD_SECONDS + [10 ** 7],
            lambda env, v: AliyunOss("bucket1", "k", "s", DEAD, retry_time_sleep=v))
    + cases("get_data_raw_pyhive", "retry_count", [None, "3", 2.5, True, HUGE, -HUGE, NAN, 1001],
            lambda env, v: env["q"].get_data_raw_pyhive({}, "select 1", retry_count=v))
    + cases("get_data_raw_pyhive", "read_timeout", BAD_SECONDS + [None, 0],
            lambda env, v: env["q"].get_data_raw_pyhive({}, "select 1", read_timeout=v))
    + cases("get_data_raw_pyhive", "upcount", ["1", 2.5, True, HUGE, -1, NAN],
            lambda env, v: env["q"].get_data_raw_pyhive({}, "select 1", upcount=v))
    + cases("upload_folder", "max_workers", [10 ** 6],
            lambda env, v: env["s3"].upload_folder(env["dir"], "out", max_workers=v))
    + cases("upload_folder", "retry_count", BAD_COUNTS + [0, 10 ** 6],
            lambda env, v: env["s3"].upload_folder(env["dir"], "out", retry_count=v))
    + cases("download_folder", "max_workers", BAD_COUNTS + [0],
            lambda env, v: env["s3"].download_folder(env["dir"], "out", max_workers=v))
    + cases("get_pod_log", "lines_count", ["10", 2.5, True, HUGE, -1, NAN],
            lambda env, v: env["pw"].get_pod_log("driver", lines_count=v))
)

# ---- texts, paths, keys, names ----------------------------------------------------------

TEXTS = (
    cases("AliyunOss", "bucket_name", BAD_TEXTS + [""], lambda env, v: AliyunOss(v, "k", "s", DEAD))
    + cases("AliyunOss", "aly_endpoint", BAD_TEXTS + [""], lambda env, v: AliyunOss("bucket1", "k", "s", v))
    + cases("AliyunOss", "region", ["", 5, b"r", "cn hz", "cn/hz", "cn\nhz", NUL],
            lambda env, v: AliyunOss("bucket1", "k", "s", DEAD, region=v))
    + cases("exists", "remote_filename", BAD_TEXTS + ["", LONG_KEY], lambda env, v: env["oss"].exists(v))
    + cases("find_prefix_oss", "oss_file_path", BAD_TEXTS + ["", LONG_KEY],
            lambda env, v: env["oss"].find_prefix_oss({}, v))
    + cases("delete_prefix_oss", "oss_file_path", BAD_TEXTS + [""],
            lambda env, v: env["oss"].delete_prefix_oss({}, v))
    + cases("delete_path", "remote_path", BAD_TEXTS + ["", LONG_KEY], lambda env, v: env["oss"].delete_path(v))
    + cases("upload", "remote_filename", BAD_TEXTS + ["", LONG_KEY], lambda env, v: env["oss"].upload("x", v))
    + cases("download", "remote_filename", BAD_TEXTS + ["", LONG_KEY], lambda env, v: env["oss"].download(v))
    + cases("_upload_oss", "td_file", BAD_TEXTS + [""], lambda env, v: env["oss"]._upload_oss({}, v, env["file"]))
    + cases("_download_oss", "local_file", [None, 5, b"p", NUL],
            lambda env, v: env["oss"]._download_oss({}, "k", v))
    + cases("upload_oss", "local_file_path", [None, 5, b"p", NUL],
            lambda env, v: env["oss"].upload_oss({}, v, "out/"))
    + cases("upload_oss", "oss_file_path", BAD_TEXTS + ["", LONG_KEY],
            lambda env, v: env["oss"].upload_oss({}, env["dir"], v))
    + cases("download_oss", "oss_file_path", BAD_TEXTS + [""],
            lambda env, v: env["oss"].download_oss({}, env["dir"], v))
    + cases("upload_oss", "isrm", [numpy.array([1, 2])],
            lambda env, v: env["oss"].upload_oss({}, env["dir"], "out/", isrm=v))
    + cases("gen_local_unique_file", "ext", ["a/b", NUL], lambda env, v: env["oss"].gen_local_unique_file(v))
    + cases("ThinkDataQuery", "query_uri", BAD_TEXTS + [""], lambda env, v: ThinkDataQuery(v, "tok"))
    + cases("ThinkDataQuery", "token", BAD_TEXTS, lambda env, v: ThinkDataQuery(DEAD, v))
    + cases("ThinkDataQuery", "hive_conn_info",
            [None, "h:1", ["h"], ["h", 1, 2], [5, 1], ["", 1], ["h/x", 1], ["h", "x"], ["h", -1], ["h", 70000],
             ["h", True], ["h", 2.5], ["h", HUGE]],
            lambda env, v: ThinkDataQuery(DEAD, "tok", hive_conn_info=v))
    + cases("ThinkDataQuery", "verify", ["yes", 1, None.__class__, "/nonexistent/ca.pem", ""],
            lambda env, v: ThinkDataQuery(DEAD, "tok", verify=v))
    + cases("get_data_csv", "sql", [None, 5, b"select 1"], lambda env, v: env["q"].get_data_csv({}, v))
    + cases("get_data_raw_pyhive", "sql", [None, 5], lambda env, v: env["q"].get_data_raw_pyhive({}, v))
    + cases("get_data_raw_pyhive_i", "unique_path", [None, 5, NUL],
            lambda env, v: env["q"].get_data_raw_pyhive_i({}, v, "select 1"))
    + cases("gen_local_unique_file(quorel)", "ext", ["a/b", NUL], lambda env, v: env["q"].gen_local_unique_file(v))
    + cases("Storvane", "ak", [None, 5, b"k"], lambda env, v: Storvane({}, v, "sk", "b", "r"))
    + cases("Storvane", "sk", [None, 5], lambda env, v: Storvane({}, "ak", v, "b", "r"))
    + cases("Storvane", "bucket", [None, 5], lambda env, v: Storvane({}, "ak", "sk", v, "r"))
    + cases("Storvane", "region_name", [5], lambda env, v: Storvane({}, "ak", "sk", "b", v))
    + cases("Storvane", "endpoint_url", [5, "", NUL], lambda env, v: Storvane({}, endpoint_url=v))
    + cases("find_prefix", "remote_path", BAD_TEXTS, lambda env, v: env["s3"].find_prefix(v))
    + cases("list_folder", "remote_path", BAD_TEXTS, lambda env, v: env["s3"].list_folder(v))
    + cases("upload_file", "local_path", [None, 5, NUL], lambda env, v: env["s3"].upload_file(v, "k"))
    + cases("upload_file", "remote_path", BAD_TEXTS + ["", LONG_KEY],
            lambda env, v: env["s3"].upload_file(env["file"], v))
    + cases("upload_fileobj", "io_obj", [None, "text"], lambda env, v: env["s3"].upload_fileobj(v, "k"))
    + cases("download_file", "remote_path", BAD_TEXTS + [""], lambda env, v: env["s3"].download_file(env["file"], v))
    + cases("is_exists", "remote_path", BAD_TEXTS + ["", LONG_KEY], lambda env, v: env["s3"].is_exists(v))
    + cases("delete_file", "remote_path", BAD_TEXTS + [""], lambda env, v: env["s3"].delete_file(v))
    + cases("delete_folder", "remote_path", [None, 5, NUL], lambda env, v: env["s3"].delete_folder(v))
    + cases("upload_folder", "local_path", [None, 5, NUL], lambda env, v: env["s3"].upload_folder(v, "out"))
    + cases("upload_folder", "remote_path", [None, 5, NUL], lambda env, v: env["s3"].upload_folder(env["dir"], v))
    + cases("_download_i", "remote_file", BAD_TEXTS + [""], lambda env, v: env["s3"]._download_i(v, env["file"], 1))
    + cases("PodWarden", "k8s_conn_config", [None, 5, NUL], lambda env, v: PodWarden({}, k8s_conn_config=v))
    + cases("get_pod_info", "pod_name", BAD_TEXTS + ["", "a/b", "..", "p" * 300],
            lambda env, v: env["pw"].get_pod_info(v))
    + cases("delete_pod", "pod_name", BAD_TEXTS + ["", "a/../b"], lambda env, v: env["pw"].delete_pod(v))
    + cases("get_pod_log", "pod_name", BAD_TEXTS + [""], lambda env, v: env["pw"].get_pod_log(v))
    + cases("run_sptasks_by_taskname", "user_token", [None, 5],
            lambda env, v: BMOBJ.http_api.run_sptasks_by_taskname(v, ["t"]))
    + cases("run_sptasks_by_taskname", "task_names", [None, "task", [1], {"t"}],
            lambda env, v: BMOBJ.http_api.run_sptasks_by_taskname("tok", v))
    + cases("get_sptasks_info_by_projectname", "start_time", [5, NUL],
            lambda env, v: BMOBJ.http_api.get_sptasks_info_by_projectname("tok", ["p"], v, None))
    + cases("BMOBJ.gen_local_unique_file", "pre_path", [NUL], lambda env, v: BMOBJ.gen_local_unique_file(v))
    + cases("BMOBJ.gen_local_unique_file", "pre_name", [NUL], lambda env, v: BMOBJ.gen_local_unique_file("", v))
    + cases("BMOBJ.gen_local_unique_file", "ext", [NUL], lambda env, v: BMOBJ.gen_local_unique_file("", "", v))
    + cases("BMOBJ.gen_local_unique_path", "pre_path", [NUL], lambda env, v: BMOBJ.gen_local_unique_path(v))
)


@pytest.fixture
def env(oss_client, query, store, warden, tmp_path):
    folder = tmp_path / "src"
    folder.mkdir()
    (folder / "a").write_text("kept")
    return dict(oss=oss_client, q=query, s3=store, pw=warden, dir=str(folder), file=str(folder / "a"))


def assert_untouched(env):
    # the local folder that uploads would remove and downloads would empty
    assert os.listdir(env["dir"]) == ["a"] and open(env["file"]).read() == "kept"


@pytest.mark.parametrize("call, name, value", NUMBERS)
def test_numbers_are_refused_naming_the_parameter(env, call, name, value):
    e = assert_refused(lambda: call(env, value), name)
    # counts and numbers are refused as Et, whatever was wrong with them
    assert isinstance(e, Et)
    assert_untouched(env)


@pytest.mark.parametrize("call, name, value", TEXTS)
def test_texts_and_paths_are_refused_naming_the_parameter(env, call, name, value):
    e = assert_refused(lambda: call(env, value), name)
    if isinstance(value, str) and value and "\x00" not in value and name not in ("hive_conn_info", "task_names", "io_obj"):
        assert isinstance(e, Et)  # a text where a text is asked: a refused value, not a wrong type
    assert_untouched(env)


# ---- the examples, and the values that keep working ------------------------------------

def test_block_size_true_is_refused_by_both_query_paths(query):
    for call in (lambda: query.get_data_csv({}, "q", block_size=True),
                 lambda: query.get_data_raw_pyhive({}, "q", block_size=True)):
        assert_refused(call, "block_size")


def test_a_short_hive_conn_info_set_after_construction_is_refused_before_querying(query):
    query.hive_conn_info = ["only-a-host"]
    e = assert_refused(lambda: query.get_data_raw_pyhive({}, "q"), "hive_conn_info")
    assert isinstance(e, Et)
    # with no attempt to make, nothing is checked and nothing happens
    assert query.get_data_raw_pyhive({}, "q", retry_count=0) is None


@pytest.mark.parametrize("kwargs", [
    dict(), dict(pool_connections=1, pool_maxsize=10000, timeout=0.5, retry_time_sleep=0),
    dict(timeout=3, retry_time_sleep=2.5),
])
def test_documented_defaults_and_bounds_are_accepted(kwargs):
    c = AliyunOss("bucket1", "AKID", "secret", DEAD, **kwargs)
    assert c.retry_time_sleep == kwargs.get("retry_time_sleep")
    q = ThinkDataQuery(DEAD, "tok")
    assert q.hive_conn_info == ["host", 0] and q.verify is None
    assert ThinkDataQuery(DEAD, "", hive_conn_info=("h", "8080"), verify=True).verify is True
    s = Storvane({}, "", "", "", "us-east-1")
    assert (s.access_key, s.secret_key, s.bucket) == ("", "", "")


def test_nan_or_huge_retry_counts_never_start_a_pool(store, env):
    # a count that fits no thread pool and no loop is refused up front
    for bad in (HUGE, NAN, math.inf):
        assert_refused(lambda: store.download_folder(env["dir"], "out", retry_count=bad), "retry_count")
    assert_untouched(env)


# ---- BaseMethod's utilities -------------------------------------------------------------------

@pytest.mark.parametrize("call, name", [
    (lambda: BMOBJ.get_record_now({}, "UTC\x00"), "tz"),
    (lambda: BMOBJ.text_tran_html(None), "text"),
    (lambda: BMOBJ.text_tran_html(5), "text"),
    (lambda: BMOBJ.get_file_path(None), "path"),
], ids=["tz-NUL", "text-None", "text-int", "path-None"])
def test_utilities_name_what_they_refuse(call, name):
    assert_refused(call, name)


@pytest.mark.parametrize("endpoint", ["http://[bad", "http://h:abc", "://x", "http://"])
def test_an_endpoint_that_is_no_url_fails_at_construction_as_the_sdk_does(endpoint):
    import oss2

    with pytest.raises(Exception) as sdk:
        oss2.Bucket(oss2.Auth("k", "s"), endpoint, "bucket1")
    with pytest.raises(type(sdk.value)) as ours:
        AliyunOss("bucket1", "k", "s", endpoint)
    assert str(ours.value) == str(sdk.value)


def test_is_create_takes_any_truth_value(tmp_path):
    # as an `if` would: a text is true, an empty list false
    made = BMOBJ.gen_local_unique_path(str(tmp_path), "p", "no")
    assert os.path.isdir(made)
    assert not os.path.exists(BMOBJ.gen_local_unique_path(str(tmp_path), "p", []))


@pytest.mark.parametrize("text", ["[" * 100000 + "]" * 100000, "{'a':" * 50000 + "1" + "}" * 50000,
                                  "(" * 100000 + ")" * 100000, b"\xff\xfe", None])
def test_jsonloads_refuses_deep_or_undecodable_input_without_crashing(text):
    with pytest.raises(Et) as err:
        BMOBJ.jsonloads(text)
    assert err.value.state == 2


# ---- one checker: the same value gets the same refusal from every operation --------------------

# Counts that start at 1, by their upper bound: the operations of a family
# must refuse each value in the same words, but for the parameter's name.
COUNT_FAMILIES = {
    "bounded": [
        ("pool_connections", lambda env, v: OssSession(pool_connections=v)),
        ("pool_maxsize", lambda env, v: AliyunOss("bucket1", "k", "s", DEAD, pool_maxsize=v)),
        ("max_workers", lambda env, v: env["oss"].upload_oss({}, env["dir"], "out/", max_workers=v)),
        ("max_workers", lambda env, v: env["oss"].download_oss({}, env["dir"], "out/", max_workers=v)),
        ("max_workers", lambda env, v: env["s3"].upload_folder(env["dir"], "out", max_workers=v)),
        ("retry_count", lambda env, v: env["s3"].download_folder(env["dir"], "out", retry_count=v)),
        ("retry_count", lambda env, v: env["s3"]._upload_i("out/a", env["dir"] + "/a", v)),
    ],
    "unbounded": [
        ("block_size", lambda env, v: env["q"].get_data_csv({}, "select 1", block_size=v)),
        ("block_size", lambda env, v: env["q"].get_data_raw_pyhive({}, "select 1", block_size=v)),
        ("fetch_size", lambda env, v: env["q"].get_data_raw_pyhive({}, "select 1", fetch_size=v)),
        ("fetch_size", lambda env, v: env["q"].get_data_raw_pyhive_i({}, env["dir"] + "/r.csv", "select 1",
                                                                   fetch_size=v)),
    ],
}


@pytest.mark.parametrize("family", sorted(COUNT_FAMILIES))
@pytest.mark.parametrize("value", [True, False, HUGE, -HUGE, 2 ** 63, 2.0, 2.5, NAN, "4", None, 0, -1],
                         ids=repr)
def test_every_operation_of_a_count_family_refuses_alike(env, family, value):
    messages = set()
    for name, call in COUNT_FAMILIES[family]:
        with pytest.raises(Et) as err:
            call(env, value)
        assert err.value.state == 2
        assert err.value.getmsg().startswith(name + " must be ")
        messages.add(err.value.getmsg()[len(name):])
    assert len(messages) == 1, messages
    assert_untouched(env)


@pytest.mark.parametrize("value", [True, 0, 5 * 2 ** 30 + 1, 2.0, "1024", HUGE], ids=repr)
def test_multipart_threshold_is_refused_alike_by_the_folder_and_the_file_upload(env, value):
    messages = set()
    for call in (lambda: env["oss"].upload_oss({}, env["dir"], "o/", multipart_threshold=value),
                 lambda: env["oss"]._upload_oss({}, "k", env["file"], multipart_threshold=value)):
        with pytest.raises(Et) as err:
            call()
        assert err.value.state == 2
        messages.add(err.value.getmsg())
    assert messages == {"multipart_threshold must be an integer from 1 to 5 GiB (5368709120)"}
    assert_untouched(env)
