"""A folder round trip through Storvane against a local moto_server: upload
with a completion marker, list, download, compare."""
import filecmp
import os
import shutil
import sys
import tempfile


def run():
    import boto3

    from kestro.s3.storvane import Storvane
    from servers.moto import moto_server

    root = os.environ.get("KESTRO_DATA_ROOT") or tempfile.mkdtemp(prefix="kestro-demo-")
    src = os.path.join(root, "s3demo", "out")
    dst = os.path.join(root, "s3demo", "back")
    files = {"part-0.csv": b"id,name\n1,a\n", "part-1.csv": b"id,name\n2,b\n", "stats/summary.json": b'{"rows": 2}'}
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
        with open(os.path.join(src, rel), "wb") as f:
            f.write(data)

    with moto_server() as endpoint:
        boto3.client("s3", aws_access_key_id="demo", aws_secret_access_key="demo", region_name="us-east-1",
                     endpoint_url=endpoint).create_bucket(Bucket="kestro-demo")
        store = Storvane({}, "demo", "demo", "kestro-demo", "us-east-1", endpoint_url=endpoint)
        store.upload_folder(src, "exports/run1", add_success=True, isdel=False)
        print("keys:", store.find_prefix("exports/run1"))
        print("sub-folders of exports/run1:", store.list_folder("exports/run1"))
        print("marker exists:", store.is_exists("exports/run1/_SUCCESS"))
        store.download_folder(dst, "exports/run1", isdel=False)
        same = all(filecmp.cmp(os.path.join(src, rel), os.path.join(dst, rel), shallow=False) for rel in files)
        print("round trip identical:", same)
        store.delete_folder("exports/run1")
        print("after delete_folder:", store.find_prefix("exports/run1"))
    shutil.rmtree(os.path.join(root, "s3demo"), ignore_errors=True)
    if not same:
        raise SystemExit("round trip differs")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    run()
