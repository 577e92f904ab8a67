"""Print the interpreter and the versions of kestro's dependencies in this venv."""
import platform
import sys
from importlib import metadata

NAMES = ["Django", "kubernetes", "pandas", "numpy", "boto3", "botocore", "oss2", "PyHive", "arrow",
         "requests", "urllib3", "moto", "pytest"]


def version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "-"


leg = sys.argv[1] if len(sys.argv) > 1 else "?"
print("leg %s: CPython %s; %s" % (leg, platform.python_version(),
                                 ", ".join("%s %s" % (n, version(n)) for n in NAMES)))
