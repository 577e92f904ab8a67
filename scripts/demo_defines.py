"""BMOBJ at work outside the service ("local" mode)."""
import os


def run():
    from kestro.common.defines import BMOBJ, Et

    print("run mode:", BMOBJ.get_current_env())
    BMOBJ.clog({}, "task-log line:", 42, 0.5, None)
    path = BMOBJ.gen_local_unique_file(pre_path="demo", ext="json")
    with open(path, "w") as f:
        f.write(BMOBJ.jsondumps({"名": [1, 2]}))
    print("work file:", path, "->", open(path).read())
    BMOBJ.remove_file(path)
    print("removed:", not os.path.exists(path))
    try:
        BMOBJ.jsonloads("{not json")
    except Et as e:
        print("error report:")
        print(BMOBJ.geterr(e))
