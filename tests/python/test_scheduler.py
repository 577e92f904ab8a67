"""The scheduler API client against a local stand-in that records requests."""
import json
import time

import pytest
import requests

from kestro.common.defines import BMOBJ
from servers.scheduler import SchedulerServer

API = BMOBJ.http_api

OPS = [
    ("run_sptasks_by_taskname", "task_names", False),
    ("run_sptasks_by_projectname", "project_names", False),
    ("get_sptasks_info_by_taskname", "task_names", True),
    ("get_sptasks_info_by_projectname", "project_names", True),
]


def call(op, names, ranged, start="2024-01-01 00:00:00", end="2024-01-02 00:00:00"):
    if ranged:
        return getattr(API, op)("tok", names, start, end)
    return getattr(API, op)("tok", names)


@pytest.fixture
def scheduler(transactional_db):
    with SchedulerServer() as srv:
        yield srv


def set_host(url):
    from hostsvc.gconfig.models import GConfig

    GConfig.objects.update_or_create(name="host_name", defaults={"contents": {"value": url}})


@pytest.mark.parametrize("op,field,ranged", OPS)
def test_requests_carry_the_form_in_order(scheduler, op, field, ranged):
    set_host(scheduler.url + "/api")
    scheduler.answer({"s": 1, "value": ["t1"]})
    assert call(op, ["任务一", "b"], ranged) == {"s": 1, "value": ["t1"]}
    (path, fields, raw, ctype), = scheduler.requests
    assert path == "/api/" + op
    assert ctype == "application/x-www-form-urlencoded"
    names = json.dumps(["任务一", "b"])
    assert names.isascii()
    expected = [("user_token", "tok"), (field, names)]
    if ranged:
        expected += [("start_time", "2024-01-01 00:00:00"), ("end_time", "2024-01-02 00:00:00")]
    assert fields == expected


def test_base_address_with_or_without_slash(scheduler):
    for base in (scheduler.url + "/api", scheduler.url + "/api/"):
        set_host(base)
        API.run_sptasks_by_taskname("tok", ["a"])
    assert [r[0] for r in scheduler.requests] == ["/api/run_sptasks_by_taskname"] * 2


def test_missing_bounds_are_left_out(scheduler):
    set_host(scheduler.url)
    API.get_sptasks_info_by_projectname("tok", ["p"], None, "2024-01-02 00:00:00")
    assert [k for k, _ in scheduler.requests[0][1]] == ["user_token", "project_names", "end_time"]


def test_error_answers_pass_through(scheduler):
    set_host(scheduler.url)
    scheduler.answer({"s": 0, "msg": "no such task"}, status=500)
    assert API.run_sptasks_by_taskname("tok", ["x"]) == {"s": 0, "msg": "no such task"}
    scheduler.answer(raw=b"<html>")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        API.run_sptasks_by_taskname("tok", ["x"])


def test_a_silent_scheduler_fails_the_call_after_thirty_seconds(scheduler):
    set_host(scheduler.url)
    scheduler.stalled.set()
    started = time.monotonic()
    with pytest.raises(requests.exceptions.ReadTimeout):
        API.run_sptasks_by_projectname("tok", ["p"])
    assert 30 <= time.monotonic() - started < 40
    assert len(scheduler.requests) == 1  # not sent again


def test_without_a_base_address_nothing_is_sent(scheduler):
    assert API.get_host_name() == {"s": 13, "msg": "host_name error"}
    for op, _, ranged in OPS:
        assert call(op, ["a"], ranged) == {"s": 13, "msg": "host_name error"}
    set_host(scheduler.url)
    assert API.get_host_name() == {"s": 1, "v": scheduler.url}
    assert scheduler.requests == []


def test_local_mode_sends_nothing(local_mode):
    assert API.get_host_name() == {"s": 13, "msg": "local"}
    for op, _, ranged in OPS:
        assert call(op, ["a"], ranged) == {"s": 13, "msg": "local"}
