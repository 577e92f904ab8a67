"""kestro.common.defines: the error record, run mode, task log, reports,
work files and the data utilities."""
import contextlib
import datetime
import decimal
import importlib
import json
import logging
import os
import re
import subprocess
import sys
import threading
import time
import traceback
import types
import uuid
import warnings

import pytest

from kestro.common import defines
from kestro.common.defines import BMOBJ, BaseMethod, CeleryRetryError, Et

BANNER = "error" + "*" * 50


class Unprintable:
    def __str__(self):
        raise ValueError("no text form")


# ---- error record -------------------------------------------------------


class TestEt:
    def test_defaults_and_message_forms(self):
        e = Et()
        assert (e.state, e.getmsg(), e.msg, str(e)) == (95635, "default error", '"default error"', "")
        e = Et(2, "参数格式不正确")
        assert e.msg == json.dumps("参数格式不正确") and e.msg.isascii()
        assert e.getmsg() == "参数格式不正确"
        assert e._msg == "参数格式不正确" and e.state == 2

    def test_argument_list_holds_only_the_extra_values(self):
        assert str(Et(2, "m")) == "" and Et(2, "m").args == ()
        assert str(Et(2, "m", "shown")) == "shown"
        single = Et(7)
        assert (single.state, single.getmsg()) == (7, "default error")
        assert Et(v="x", state=3).state == 3 and Et(v="x").getmsg() == "x"

    def test_named_extra_arguments_are_refused(self):
        with pytest.raises(TypeError):
            Et(2, "m", extra=1)
        with pytest.raises(TypeError):
            Et(2, "m", state=3)

    def test_types(self):
        assert issubclass(Et, Exception) and issubclass(CeleryRetryError, Et)
        with pytest.raises(Et) as info:
            raise CeleryRetryError(4, "retry")
        assert (info.value.state, info.value.getmsg()) == (4, "retry")
        try:
            raise Et(2, "x")
        except Exception as caught:  # an ordinary error for any handler
            assert isinstance(caught, Et)

    def test_message_that_is_not_json(self):
        e = Et(2, {1, 2})
        assert e.getmsg() == {1, 2}
        with pytest.raises(TypeError):
            e.msg


def test_module_binds_host_and_standard_facilities():
    from django.apps import apps
    from django.conf import settings

    assert defines.apps is apps and defines.settings is settings
    assert defines.DatetimeJSONEncoder.__module__ == "kestro.common.extendEncoder"
    for name in ["ast", "hashlib", "json", "logging", "sys", "shutil", "time", "traceback", "requests", "os",
                 "uuid", "arrow"]:
        assert getattr(defines, name) is importlib.import_module(name), name
    assert defines.models is importlib.import_module("django.db.models")
    assert defines.admin is importlib.import_module("django.contrib.admin")
    assert isinstance(BMOBJ, BaseMethod)
    assert BMOBJ.logger_django is logging.getLogger("django")
    assert BMOBJ.logger_dadian is logging.getLogger("dadian")
    assert type(BMOBJ.http_api) is defines.Qz57HttpApi


def test_operations_read_the_module_level_names_at_call_time(monkeypatch):
    # a service (or a test) may rebind them on the module, as with globals of Python code
    monkeypatch.setattr(defines, "settings", types.SimpleNamespace())  # no DEBUG: not configured
    assert BMOBJ.get_current_env() == "local" and BMOBJ.http_api.get_current_env() == "local"
    monkeypatch.setattr(defines, "_", lambda text: ("deferred", text))
    assert BMOBJ.tran(5) == ("deferred", "5")
    monkeypatch.setattr(defines, "json", types.SimpleNamespace(loads=lambda data: ("parsed", data)))
    assert BMOBJ.jsonloads("[1]") == ("parsed", "[1]")


def run_python(code, **env):
    full = dict(os.environ, **env)
    full.pop("DJANGO_SETTINGS_MODULE", None)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full, cwd="/")


@pytest.mark.parametrize("has_ugettext", [True, False], ids=["with-ugettext", "without-ugettext"])
def test_translation_prefers_ugettext_lazy_and_falls_back_to_gettext_lazy(has_ugettext):
    # Either state is made on every Django: the old name is added where the
    # release never had it, removed where it still has it.
    make = (
        "t.ugettext_lazy = lambda s: ('u', s)\n"
        if has_ugettext
        else "t.__dict__.pop('ugettext_lazy', None)\n"
    )
    out = run_python(
        "import django.utils.translation as t\n"
        + make
        + "from kestro.common import defines\n"
        "want = t.ugettext_lazy if hasattr(t, 'ugettext_lazy') else t.gettext_lazy\n"
        "print(defines._ is want, hasattr(t, 'ugettext_lazy'))\n"
    )
    assert out.stdout.split() == ["True", str(has_ugettext)], out.stderr


def test_loading_fails_without_the_encoder_module():
    out = run_python(
        "import sys\nsys.modules['kestro.common.extendEncoder'] = None\nimport kestro.common.defines\n"
    )
    assert out.returncode != 0 and "ImportError" in out.stderr


def test_run_mode(local_mode):
    assert BMOBJ.get_current_env() == "local"
    assert BMOBJ.http_api.get_current_env() == "local"


def test_run_mode_server():
    assert BMOBJ.get_current_env() == "server"
    assert BMOBJ.http_api.get_current_env() == "server"


# ---- task log -------------------------------------------------------------


class TestClogLocal:
    def test_prints_text_forms_and_pauses(self, local_mode, capsys, fast_sleep):
        assert BMOBJ.clog({}, "text", 3, None, 0.5) is None
        assert capsys.readouterr().out == "text 3 None 0.5\n"
        assert fast_sleep.calls == [0.5]

    def test_value_without_text_form(self, local_mode, capsys, fast_sleep):
        BMOBJ.clog(None, "a", Unprintable(), "b")
        assert capsys.readouterr().out == "a log value must be string b\n"

    def test_size_guard_on_the_concatenated_text(self, local_mode, capsys, fast_sleep):
        limit = 50 * 1024 * 1024
        half = "x" * (limit // 2)
        BMOBJ.clog({}, half, half)
        out = capsys.readouterr().out
        assert len(out) == limit + 2  # the separator and the newline
        BMOBJ.clog({}, half, half, "y")
        assert capsys.readouterr().out == "log data too long\n"
        # characters, not bytes, are counted
        BMOBJ.clog({}, "字" * limit)
        assert len(capsys.readouterr().out) == limit + 1
        assert fast_sleep.calls == [0.5, 0.5, 0.5]

    def test_pause_does_not_hold_the_gil(self, local_mode, capsys):
        # 50 concurrent log calls of 0.5 s each: about 0.5 s if the pauses
        # overlap, 25 s if they were serialised.
        threads = [threading.Thread(target=BMOBJ.clog, args=({}, "t", k)) for k in range(50)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        assert elapsed < 5.0, elapsed
        lines = capsys.readouterr().out.splitlines()
        # whole lines, never one worker's text run into another's
        assert sorted(lines) == sorted("t %d" % k for k in range(50))


class TestClogServer:
    def test_stores_the_texts_in_the_task_record(self, task_ctx, fast_sleep):
        BMOBJ.clog(task_ctx, "line", 7, None, Unprintable())
        assert task_ctx.lines() == [["line", "7", "None", "log value must be string"]]
        assert fast_sleep.calls == [0.5]

    @pytest.mark.parametrize("kind,label", [("retask", "retask.RETaskRecord"), ("sptask", "sptask.DPTaskRecord")])
    def test_each_task_type_uses_its_model(self, transactional_db, fast_sleep, kind, label):
        from hostsvc.dtask.models import TaskLog

        BMOBJ.clog({"task_type": kind, "trid": 41, "index": 3}, "x")
        row = TaskLog.objects.get()
        assert (row.kind, row.lock_id, row.task_index, row.recs) == (label, 41, 3, ["x"])

    def test_unknown_task_type_stores_nothing_but_pauses(self, transactional_db, fast_sleep):
        from hostsvc.dtask.models import TaskLog

        assert BMOBJ.clog({"task_type": "other", "trid": 1, "index": 0}, "x") is None
        assert TaskLog.objects.count() == 0
        assert fast_sleep.calls == [0.5]

    def test_missing_context_key_fails_before_storing(self, transactional_db, fast_sleep):
        from hostsvc.dtask.models import TaskLog

        with pytest.raises(KeyError):
            BMOBJ.clog({"task_type": "dtask", "trid": 1}, "x")
        assert TaskLog.objects.count() == 0

    def test_failing_store_is_reported_and_swallowed(self, transactional_db, fast_sleep, caplog, monkeypatch):
        from hostsvc.dtask.models import RunRecord

        def broken(**kwargs):
            raise Et(2, "store down")

        monkeypatch.setattr(RunRecord.objects, "add_records", broken)
        with caplog.at_level(logging.DEBUG, logger="django"):
            assert BMOBJ.clog({"task_type": "dtask", "trid": 1, "index": 0}, "x") is None
        msgs = [r.getMessage() for r in caplog.records if r.name == "django"]
        assert all(r.levelno == logging.ERROR for r in caplog.records if r.name == "django")
        assert msgs[0] == "clog error ----- :" and msgs[1] == BANNER
        assert msgs[-1] == "store down"
        report = msgs[2:-1]
        assert report and all(m.endswith(" error") for m in report)
        # the frame that raised is the replaced add_records
        assert any("in broken" in m for m in report)
        assert fast_sleep.calls == [0.5]


class TestPlainLogging:
    @pytest.mark.parametrize("name,level", [("log_debug", logging.DEBUG), ("log_info", logging.INFO),
                                            ("log_warning", logging.WARNING), ("log_error", logging.ERROR)])
    def test_levels(self, caplog, name, level):
        with caplog.at_level(logging.DEBUG, logger="django"):
            getattr(BMOBJ, name)("a", 2)
        (rec,) = [r for r in caplog.records if r.name == "django"]
        assert (rec.getMessage(), rec.levelno) == ("a 2", level)

    def test_bad_value_falls_back_to_the_tuple(self):
        bad = Unprintable()
        assert BMOBJ.get_log_str("a", 1) == "a 1"
        assert BMOBJ.get_log_str("a", bad) == ("a", bad)


# ---- error reports ----------------------------------------------------------


def raising_inner():
    raise Et(2, "short")


def caller_of_inner():
    try:
        raising_inner()
    except Et as e:
        return e, traceback.extract_tb(sys.exc_info()[2]), BMOBJ.geterr(e)


class TestReports:
    def test_geterr_layout(self):
        e, frames, report = caller_of_inner()
        expected = [BANNER]
        text = "".join("%s\n%s, in %s\n%d:                %s!" % ("", f.filename, f.name, f.lineno, f.line)
                       for f in frames)
        for line in text.split("\n"):
            expected += [line, "error"]
        expected.append("short")
        assert report.split("\n") == expected
        assert report.split("\n")[1] == ""  # the text form of the Et is empty
        assert frames[0].name == "caller_of_inner" and frames[-1].name == "raising_inner"

    def test_frame_blocks_run_on_with_a_text_form(self):
        try:
            raise ValueError("boom")
        except ValueError as e:
            lines = BMOBJ.geterr(e).split("\n")
        assert lines[1] == "boom" and lines[-1] == "exception"
        assert lines[5].endswith('raise ValueError("boom")!')

    def test_logerr_outside_a_handler(self, caplog):
        with caplog.at_level(logging.DEBUG, logger="django"):
            BMOBJ.logerr(Et(2, "msg"))
        msgs = [(r.getMessage(), r.levelno) for r in caplog.records if r.name == "django"]
        assert msgs == [(BANNER, logging.ERROR), (" error", logging.ERROR), ("msg", logging.ERROR)]

    def test_logerr_uses_msg_when_the_message_cannot_be_logged(self, caplog):
        class Odd(Exception):
            msg = "fallback"

            @property
            def _msg(self):
                raise RuntimeError("unreadable")

        with caplog.at_level(logging.DEBUG, logger="django"):
            BMOBJ.logerr(Odd())
        assert [r.getMessage() for r in caplog.records][-1] == "fallback"
        assert BMOBJ.geterr(Odd()).split("\n")[-1] == "fallback"

    def test_report_builders_never_fail(self, caplog, monkeypatch):
        def broken(*a, **k):
            raise RuntimeError("extract failed")

        monkeypatch.setattr(defines.traceback, "extract_tb", broken)
        assert BMOBJ.geterr(Et(1, "m")).split("\n") == [BANNER, "extract failed"]
        with caplog.at_level(logging.DEBUG, logger="django"):
            BMOBJ.logerr(Et(1, "m"))
        assert [r.getMessage() for r in caplog.records] == [BANNER, "extract failed"]


# ---- local work files -------------------------------------------------------

NAME = r"[0-9a-f]{32}_\d{8}_\d{6}"


class TestWorkFiles:
    def test_default_name_under_the_media_root(self, data_root):
        path = BMOBJ.gen_local_unique_file()
        assert re.fullmatch(re.escape(data_root) + "/media/docs/" + NAME + r"\.csv", path), path
        assert os.path.isdir(os.path.dirname(path)) and not os.path.exists(path)

    def test_fixed_media_root_without_override(self):
        out = run_python("from kestro.common.defines import BMOBJ\nprint(BMOBJ.gen_local_unique_file())",
                         KESTRO_DATA_ROOT="")
        assert re.fullmatch("/mydata/media/docs/" + NAME + r"\.csv", out.stdout.strip()), out.stderr

    def test_prefixes_extensions_and_absolute_folders(self, tmp_path):
        path = BMOBJ.gen_local_unique_file(str(tmp_path / "abs"), 5, 1)
        assert re.fullmatch(re.escape(str(tmp_path)) + "/abs/5" + NAME + r"\.1", path)
        with pytest.raises(TypeError):
            BMOBJ.gen_local_unique_file(5)

    def test_names_differ_within_a_second(self):
        names = {BMOBJ.gen_local_unique_file() for _ in range(200)}
        assert len(names) == 200

    def test_unique_path_creates_only_what_is_asked(self, tmp_path):
        p = BMOBJ.gen_local_unique_path(str(tmp_path), "run_")
        assert os.path.isdir(str(tmp_path)) and not os.path.exists(p)
        assert re.fullmatch(re.escape(str(tmp_path)) + "/run_" + NAME, p)
        q = BMOBJ.gen_local_unique_path(str(tmp_path), "run_", True)
        assert os.path.isdir(q)

    def test_folder_creation_failure_reaches_the_caller(self, tmp_path):
        (tmp_path / "file").write_text("x")
        with pytest.raises(OSError):
            BMOBJ.gen_local_unique_file(str(tmp_path / "file" / "sub"))

    def test_silent_removal(self, tmp_path):
        f = tmp_path / "f.txt"
        f.write_text("x")
        (tmp_path / "tree" / "sub").mkdir(parents=True)
        (tmp_path / "tree" / "sub" / "g").write_text("y")
        assert BMOBJ.remove_file(str(f)) is None and not f.exists()
        BMOBJ.remove_file(str(f))
        BMOBJ.remove_file(str(tmp_path / "tree"))  # a folder is not removed as a file
        assert (tmp_path / "tree").exists()
        BMOBJ.remove_file(None)
        BMOBJ.remove_folder(tmp_path / "tree")
        assert not (tmp_path / "tree").exists()
        BMOBJ.remove_folder(str(tmp_path / "tree"))
        BMOBJ.remove_folder(12)

    @pytest.mark.parametrize("path,expected", [(".", ""), ("/x/y", "x/y"), ("./a/b/c", "b/c"), ("a/b/c", "b/c"),
                                               ("a//b/./c", "b/c"), ("a/../b/c", "c")])
    def test_code_path_without_settings(self, local_mode, path, expected):
        assert BMOBJ.get_file_path(path) == expected

    def test_code_path_with_settings(self, settings):
        settings.BASE_DIR = "/srv/app"
        assert BMOBJ.get_file_path("job/run.py") == "/srv/app/dags/sptasks/p_code/job/run.py"
        assert BMOBJ.get_file_path("/abs/run.py") == "/abs/run.py"


# ---- data and text utilities --------------------------------------------------


class TestData:
    def test_get_var(self, transactional_db):
        from hostsvc.gconfig.models import VarConfig

        VarConfig.objects.create(name="k", contents={"a": [1]})
        VarConfig.objects.create(name="twice", contents=1)
        VarConfig.objects.create(name="twice", contents=2)
        assert BMOBJ.get_var("k") == {"a": [1]}
        assert BMOBJ.get_var("missing") is None
        assert BMOBJ.get_var("twice") is None

    def test_get_var_local_does_not_touch_the_database(self, local_mode):
        assert BMOBJ.get_var("k") is None

    def test_record_now_outside_a_record(self, local_mode):
        now = BMOBJ.get_record_now({}, "Asia/Shanghai")
        assert now.utcoffset() == datetime.timedelta(hours=8)
        assert abs((now - datetime.datetime.now(datetime.timezone.utc)).total_seconds()) < 5

    def test_record_now_in_the_service(self, transactional_db):
        from hostsvc.dtask.models import RunRecord

        now = BMOBJ.get_record_now()
        assert now.utcoffset() == datetime.timedelta(0)
        assert abs((now - datetime.datetime.now(datetime.timezone.utc)).total_seconds()) < 5
        created = datetime.datetime(2024, 5, 1, 12, 0, tzinfo=datetime.timezone.utc)
        plain = RunRecord.objects.create(create_time=created)
        rooted = RunRecord.objects.create(create_time=created, extras={"root_create_time": "2024-03-01T23:30:00"})
        got = BMOBJ.get_record_now({"task_type": "dtask", "trid": plain.id}, "Asia/Shanghai")
        assert got == created and got.utcoffset() == datetime.timedelta(hours=8)
        got = BMOBJ.get_record_now({"task_type": "dtask", "trid": rooted.id}, "Asia/Shanghai")
        assert got.isoformat() == "2024-03-02T07:30:00+08:00"
        with pytest.raises(Et):
            BMOBJ.get_record_now({"task_type": "nope", "trid": plain.id})
        with pytest.raises(RunRecord.DoesNotExist):
            BMOBJ.get_record_now({"task_type": "dtask", "trid": 999999})

    @pytest.mark.parametrize("text,value", [('{"a": [1, 2.5, null]}', {"a": [1, 2.5, None]}),
                                            ("{'a': (1, True, None), 'b': {1, 2}}", {"a": (1, True, None), "b": {1, 2}}),
                                            (b'[1, "x"]', [1, "x"]), ("[1, 'x']", [1, "x"])])
    def test_jsonloads_accepts_json_then_literals(self, text, value):
        assert BMOBJ.jsonloads(text) == value

    @pytest.mark.parametrize("bad", ["{a: 1}", "__import__('os')", "[1, 2", "", None, 123, object(),
                                     "[" * 100000 + "]" * 100000, "{'a': " * 1000 + "1" + "}" * 1000])
    def test_jsonloads_failures_are_all_et(self, bad):
        with pytest.raises(Et) as info:
            BMOBJ.jsonloads(bad)
        assert (info.value.state, info.value.getmsg()) == (2, "参数格式不正确")

    def test_jsondumps(self):
        assert BMOBJ.jsondumps({"k": "v", "n": [1, 2]}) == '{"k":"v","n":[1,2]}'
        assert BMOBJ.jsondumps("中文") == '"\\u4e2d\\u6587"'
        assert BMOBJ.jsondumps({"b": 1, "a": 2}, 2, True) == '{"b":1,"a":2}'
        stamp = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
        uid = uuid.UUID(int=1)
        assert json.loads(BMOBJ.jsondumps([stamp, stamp.date(), stamp.time(), decimal.Decimal("1.10"), uid])) == [
            "2024-01-02T03:04:05+00:00", "2024-01-02", "03:04:05", "1.10", str(uid)]
        with pytest.raises(TypeError):
            BMOBJ.jsondumps(object())

    def test_text_tran_html_escapes_before_replacing(self):
        assert BMOBJ.text_tran_html("one\ntwo") == "one<br/>two"
        assert BMOBJ.text_tran_html("a b") == "a&nbspb"
        out = BMOBJ.text_tran_html("<script>alert('x') & \"y\"</script>\r\nz")
        assert out == ("&lt;script&gt;alert(&#x27;x&#x27;)&nbsp&amp;&nbsp&quot;y&quot;&lt;/script&gt;<br/>z")
        assert " " not in out and "\n" not in out and "<s" not in out

    @staticmethod
    @contextlib.contextmanager
    def old_name_warning():
        """The old translation name warns of its removal on the Djangos that
        still have it; the new one, used elsewhere, warns of nothing."""
        from django.utils import translation

        if hasattr(translation, "ugettext_lazy"):
            with pytest.warns(DeprecationWarning):
                yield
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("error", DeprecationWarning)
                yield

    def test_tran_is_lazy(self):
        from django.utils import translation
        from django.utils.functional import Promise

        with self.old_name_warning():
            lazy = BMOBJ.tran(5)
        assert isinstance(lazy, Promise) and str(lazy) == "5"
        with translation.override("de"), self.old_name_warning():
            assert str(BMOBJ.tran("Yes")) == "Ja"
