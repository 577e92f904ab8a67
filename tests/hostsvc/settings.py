"""A stand-alone host service for the tests: Django with SQLite, or with
PostgreSQL when KESTRO_TEST_DB is "postgresql"."""
import os
import tempfile

BASE_DIR = os.path.dirname(os.path.abspath(__file__))
SECRET_KEY = "kestro-tests"
DEBUG = False
USE_TZ = True
TIME_ZONE = "UTC"
INSTALLED_APPS = [
    "django.contrib.contenttypes",
    "django.contrib.auth",
    "hostsvc.dtask",
    "hostsvc.retask",
    "hostsvc.sptask",
    "hostsvc.gconfig",
]
if os.environ.get("KESTRO_TEST_DB", "sqlite") == "postgresql":
    # the suite's private cluster (servers/pg_cluster.py); its address is
    # filled in once the cluster has started
    DATABASES = {
        "default": {
            "ENGINE": "django.db.backends.postgresql",
            "NAME": "kestro",
            "USER": "kestro",
            "HOST": "127.0.0.1",
            "PORT": "",
        }
    }
else:
    DATABASES = {
        "default": {
            "ENGINE": "django.db.backends.sqlite3",
            "NAME": os.path.join(BASE_DIR, "hostsvc.sqlite3"),
            # worker threads of the folder transfers write task-log lines at once
            "OPTIONS": {"timeout": 60},
            "TEST": {"NAME": os.path.join(tempfile.gettempdir(), "kestro-test-%d.sqlite3" % os.getpid())},
        }
    }
MEDIA_ROOT = os.environ.get("KESTRO_TEST_MEDIA_ROOT", "/mydata/media")
DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
LOGGING = {
    "version": 1,
    "disable_existing_loggers": False,
    "loggers": {"django": {"level": "DEBUG", "propagate": True}},
}
