"""AliyunOss against a local OSS protocol server in its own process: a
small folder tree up (with its _SUCCESS marker) and down again, and a text
through upload/download."""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run():
    from kestro.oss.oss import AliyunOss

    folder = tempfile.mkdtemp(prefix="kestro-oss-demo-")
    server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "servers", "oss_server.py"),
                               "--bucket", "demo-bucket"], stdout=subprocess.PIPE, text=True)
    try:
        port = server.stdout.readline().split()[1]
        client = AliyunOss("demo-bucket", "demo-key-id", "demo-key-secret", "http://127.0.0.1:%s" % port,
                           retry_time_sleep=1)
        src = os.path.join(folder, "out")
        os.makedirs(os.path.join(src, "day=01"))
        for rel, rows in (("part-0.csv", 3), ("part-1.csv", 5), ("day=01/part-0.csv", 2)):
            with open(os.path.join(src, rel), "w") as f:
                f.writelines("%d,%d\n" % (k, k * k) for k in range(rows))

        client.upload_oss({}, src, "exports/out/", add_success=True, max_workers=4, isrm=True)
        print("local folder removed after upload:", not os.path.exists(src))
        keys = client.find_prefix_oss({}, "exports/out", isrm=True)
        print("keys:", keys)
        marker = client.bucket.get_object("exports/out/_SUCCESS").read()
        print("_SUCCESS gunzips to", gzip.decompress(marker))

        dst = os.path.join(folder, "in")
        client.download_oss({}, dst, "exports/out/", max_workers=4, isrm=True, isdel=False)
        for base, _dirs, names in sorted(os.walk(dst)):
            for name in sorted(names):
                path = os.path.join(base, name)
                print("downloaded:", os.path.relpath(path, dst), os.path.getsize(path), "bytes")

        client.upload("hello from kestro\n", "notes/hello.txt")
        print("text back:", repr(client.download("notes/hello.txt")))
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    run()
