"""Data-platform operations for Django task code (C++ extension modules)."""


def __getattr__(name):
    # The version is written once, in pyproject.toml; the installed distribution's
    # metadata carries it, read only when asked so that importing kestro stays cheap.
    if name == "__version__":
        from importlib import metadata

        return metadata.version("kestro")
    raise AttributeError("module 'kestro' has no attribute %r" % name)
