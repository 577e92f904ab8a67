"""PodWarden against a local stand-in for a cluster's API server."""
import os
import shutil
import tempfile


def run():
    from kestro.common.defines import Et
    from kestro.pyspark_k8s.podwarden import PodWarden
    from servers.k8s_api import K8sApiServer

    folder = tempfile.mkdtemp(prefix="kestro-kube-")
    try:
        with K8sApiServer(token="demo-token") as srv:
            log = "".join("22/01/01 00:00:%02d INFO step %d\n" % (i, i) for i in range(40))
            srv.add_pod("etl-driver", phase="Running", log=log)
            srv.add_pod("etl-exec-1", phase="Succeeded")
            srv.add_pod("coredns", namespace="kube-system")
            kubeconfig = srv.write_kubeconfig(os.path.join(folder, "config"), token="demo-token")

            warden = PodWarden({}, k8s_conn_config=kubeconfig)
            for pod in warden.get_all_pods():
                print("pod:", pod["name"], pod["status"], pod["create_time"].isoformat())
            print("log tail:")
            print(warden.get_pod_log("etl-driver", lines_count=3), end="")
            print("info:", warden.get_pod_info("etl-driver").status.phase)
            result = warden.delete_pod("etl-exec-1")
            print("deleted:", result.kind, "etl-exec-1; left:", [p["name"] for p in warden.get_all_pods()])
            try:
                warden.delete_pod("")
            except Et as e:
                print("refused:", e.state, e.getmsg())
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    run()
