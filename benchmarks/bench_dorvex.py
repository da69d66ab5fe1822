"""FTP copies: Dorvex.copyfile of quarv.utils.dorvex.plugins.localhost.ftp.dorvex against plain ftplib
(storbinary / retrbinary with the same block size, connect and login included) on the same local
pyftpdlib server, which runs in a process of its own. Prints the best throughput of several runs per
direction, in MB/s, and the ratio to plain ftplib.
Run: python benchmarks/bench_dorvex.py [size in MB, default 200]
"""

import ftplib
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex

USER, PASSWORD = "bench", "bench"
ROUNDS = 7

SERVER = textwrap.dedent("""
    import logging, sys
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(sys.argv[1], sys.argv[2], sys.argv[3], perm="elradfmw")
    FTPHandler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), FTPHandler)
    print(server.address[1], flush=True)
    server.serve_forever(timeout=0.5, handle_exit=False)
""")


def plain_upload(port, local, remote):
    with ftplib.FTP() as ftp:
        ftp.connect(host="127.0.0.1", port=port, timeout=60)
        ftp.login(user=USER, passwd=PASSWORD)
        with open(local, "rb") as file:
            ftp.storbinary(f"STOR {remote}", file)


def plain_download(port, remote, local):
    with ftplib.FTP() as ftp:
        ftp.connect(host="127.0.0.1", port=port, timeout=60)
        ftp.login(user=USER, passwd=PASSWORD)
        with open(local, "wb") as file:
            ftp.retrbinary(f"RETR {remote}", file.write)


def best_seconds(*runs, before=lambda: None):
    """The best time of each run, the runs taking turns so that a change of load meets them alike;
    `before` runs ahead of each, untimed."""
    timings = [[] for _ in runs]
    for _ in range(ROUNDS):
        for run, taken in zip(runs, timings):
            before()
            started = time.perf_counter()
            run()
            taken.append(time.perf_counter() - started)
    return [min(taken) for taken in timings]


def main():
    size_mb = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        served, local = scratch / "served", scratch / "local"
        served.mkdir()
        local.mkdir()
        block = os.urandom(1 << 20)
        with open(local / "source.bin", "wb") as file:
            for _ in range(size_mb):
                file.write(block)
        (served / "remote.bin").write_bytes((local / "source.bin").read_bytes())

        server = subprocess.Popen([sys.executable, "-W", "ignore", "-c", SERVER, USER, PASSWORD, str(served)],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            port = int(server.stdout.readline())
            plugin = Dorvex({"127.0.0.1": (USER, PASSWORD)})
            url = f"ftp://127.0.0.1:{port}"
            source, target = str(local / "source.bin"), str(local / "target.bin")

            def remove_target():
                if os.path.exists(target):
                    os.unlink(target)

            # Dorvex downloads into a new file beside the target and renames it over the target, so
            # over an existing file both versions are held in the page cache for a while; plain ftplib
            # empties the target first. Into a new file both write one file.
            cases = {
                "upload": (lambda: plugin.copyfile(source, f"{url}/up.bin", 60, upload=True),
                           lambda: plain_upload(port, source, "up.bin"), lambda: None),
                "download, new file": (lambda: plugin.copyfile(f"{url}/remote.bin", target, 60, upload=False),
                                       lambda: plain_download(port, "remote.bin", target), remove_target),
                "download, over a file": (lambda: plugin.copyfile(f"{url}/remote.bin", target, 60, upload=False),
                                          lambda: plain_download(port, "remote.bin", target), lambda: None),
            }
            print(f"{size_mb} MB through a local pyftpdlib server, best of {ROUNDS}")
            print(f"{'direction':<22} {'Dorvex MB/s':>12} {'ftplib MB/s':>12} {'ratio':>7}")
            for direction, (native, plain, before) in cases.items():
                native(), plain()  # warm the page cache and the server
                native_seconds, plain_seconds = best_seconds(native, plain, before=before)
                print(f"{direction:<22} {size_mb / native_seconds:12.1f} {size_mb / plain_seconds:12.1f} "
                      f"{plain_seconds / native_seconds:7.3f}")
        finally:
            server.terminate()
            server.wait(10)


if __name__ == "__main__":
    main()
