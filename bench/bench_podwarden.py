"""PodWarden's own cost on top of the Kubernetes client.

The stand-in API server runs in another process with 4000 pods (half of
them in "default") and a 5000-line log. kestro's get_all_pods / get_pod_log
and a reference (the same calls and the summary loop in plain Python) run
against it in one process; the script prints best-of-5 times and the ratio.
Both are dominated by the client library's own deserialisation, so a ratio
near 1.0 is the expected result: the wrapper adds nothing measurable.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")


def reference_all_pods(api):
    ret = api.list_pod_for_all_namespaces(watch=False)
    return [
        {"name": i.metadata.name, "status": i.status.phase, "create_time": i.metadata.creation_timestamp}
        for i in ret.items
        if i.metadata.namespace == "default"
    ]


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    env = dict(os.environ, PYTHONPATH=TESTS)
    server = subprocess.Popen(
        [sys.executable, "-m", "servers.k8s_api", "--pods", "4000", "--log-lines", "5000"],
        stdout=subprocess.PIPE,
        env=env,
        text=True,
    )
    folder = tempfile.mkdtemp(prefix="kestro-bench-")
    try:
        url = server.stdout.readline().strip()
        from kubernetes import client

        from kestro.pyspark_k8s.podwarden import PodWarden

        kubeconfig = os.path.join(folder, "config")
        with open(kubeconfig, "w") as f:
            f.write(
                '{"apiVersion": "v1", "kind": "Config", "current-context": "b",'
                ' "clusters": [{"name": "b", "cluster": {"server": "%s"}}],'
                ' "users": [{"name": "b", "user": {}}],'
                ' "contexts": [{"name": "b", "context": {"cluster": "b", "user": "b"}}]}' % url
            )
        warden = PodWarden({}, k8s_conn_config=kubeconfig)
        api = client.CoreV1Api()
        assert warden.get_all_pods() == reference_all_pods(api)
        rows = [
            ("get_all_pods (2000 of 4000 pods)", lambda: warden.get_all_pods(), lambda: reference_all_pods(api)),
            (
                "get_pod_log (tail 1000 of 5000)",
                lambda: warden.get_pod_log("pod-00000"),
                lambda: api.read_namespaced_pod_log("pod-00000", "default", pretty=True, tail_lines=1000),
            ),
        ]
        for name, ours, ref in rows:
            k, r = best(ours), best(ref)
            print("%-34s kestro %.4f s  reference %.4f s  kestro/reference = %.2f" % (name, k, r, k / r))
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
