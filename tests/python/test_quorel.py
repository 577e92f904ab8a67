"""ThinkDataQuery: constructor, result paths and the pandas writer."""
import os
import re

import pandas
import pytest

from kestro.quorel.quorel import ThinkDataQuery


@pytest.fixture
def client():
    return ThinkDataQuery("http://127.0.0.1:1/querySql", "tok")


def test_constructor_keeps_its_three_values_and_shares_the_default_list():
    a = ThinkDataQuery("http://x/querySql", "t1")
    b = ThinkDataQuery(query_uri="u", token="t2", hive_conn_info=["h", "8080"])
    assert (a.query_uri, a.token, a.hive_conn_info) == ("http://x/querySql", "t1", ["host", 0])
    assert b.hive_conn_info == ["h", "8080"]
    # the default is one list object, as a Python default argument is
    assert ThinkDataQuery("u", "t").hive_conn_info is a.hive_conn_info


@pytest.mark.parametrize("ext", ["csv", "txt", 7])
def test_result_paths_are_fresh_and_in_the_docs_folder(client, data_root, ext):
    folder = os.path.join(data_root, "media", "docs")
    paths = {client.gen_local_unique_file(ext) for _ in range(50)}
    assert len(paths) == 50
    for p in paths:
        assert os.path.dirname(p) == folder
        assert re.fullmatch(r"[0-9a-f]{64}\.%s" % ext, os.path.basename(p))
        name = os.path.basename(p)
        # two version-1 UUIDs, the second generated after the first
        assert name[12] == "1" and name[44] == "1"
        assert not os.path.exists(p)
    assert os.path.isdir(folder)
    assert client.gen_local_unique_file().endswith(".csv")


def test_result_folder_that_cannot_be_created_raises(client, monkeypatch, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    monkeypatch.setenv("KESTRO_DATA_ROOT", str(blocker))
    with pytest.raises(OSError):
        client.gen_local_unique_file()


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"index": None}, "a,b\n1,x\n2,y\n"),
        ({}, ",a,b\n0,1,x\n1,2,y\n"),
        ({"index": False}, ",a,b\n0,1,x\n1,2,y\n"),
        ({"index": None, "header": False}, "1,x\n2,y\n"),
    ],
)
def test_g_to_csv_notmp_index_rule(client, tmp_path, kwargs, expected):
    path = str(tmp_path / "out.csv")
    df = pandas.DataFrame(data=[[1, "x"], [2, "y"]], columns=["a", "b"])
    assert client.g_to_csv_notmp(path, df, **kwargs) is True
    assert open(path).read() == expected


def test_g_to_csv_notmp_appends_and_compresses(client, tmp_path):
    path = str(tmp_path / "out.csv")
    df = pandas.DataFrame(data=[[1]], columns=["a"])
    client.g_to_csv_notmp(path, pandas.DataFrame(columns=["a"]), index=None)
    client.g_to_csv_notmp(path, df, index=None, mode="a", header=False)
    client.g_to_csv_notmp(path, df, None, None, "a", False)
    assert open(path).read() == "a\n1\n1\n"
    gz = str(tmp_path / "out.csv.gz")
    client.g_to_csv_notmp(gz, df, index=None, compression="gzip")
    assert pandas.read_csv(gz, compression="gzip").to_dict("list") == {"a": [1]}
    with pytest.raises(ValueError):
        client.g_to_csv_notmp(gz, df, index=None, compression="nope")
