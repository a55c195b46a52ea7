"""Quickstart: one pass through the client's operations.

By default it starts an S3 server embedded in this process (moto, on
127.0.0.1) so it needs no storage service; give --host/--port/--user/--password
to run it against a real endpoint instead (it creates and removes the bucket
named by --bucket).
"""

import argparse
import logging
import os
import pathlib
import tempfile
import urllib.request
from typing import TYPE_CHECKING

from tavrin_minio.mimora import get_mimora
from tavrin_minio.ostrel import TavrinOstrel

if TYPE_CHECKING:
    from moto.server import ThreadedMotoServer


def embedded_server() -> "tuple[ThreadedMotoServer, tuple[str, int]]":
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    return server, server.get_host_and_port()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host")
    parser.add_argument("--port", type=int, default=9000)
    parser.add_argument("--user", default="quickstart")
    parser.add_argument("--password", default="quickstart-secret")
    parser.add_argument("--bucket", default="quickstart")
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # the embedded server's request log

    server = None
    host, port = args.host, args.port
    if host is None:
        server, (host, port) = embedded_server()
        print(f"embedded S3 server on {host}:{port}")

    try:
        client = TavrinOstrel({"host": host, "port": port, "user": args.user, "password": args.password})
        client._connect()
        bucket = args.bucket
        print("create bucket:", client._create_bucket(bucket, "us-east-1"))
        print("create again: ", client._create_bucket(bucket, "us-east-1"), "(logged a warning)")

        with tempfile.TemporaryDirectory() as work:
            photos = pathlib.Path(work, "photos")
            (photos / "2024").mkdir(parents=True)
            (photos / "notes.txt").write_text("hello from the quickstart\n", encoding="utf-8")
            (photos / "cover.jpg").write_bytes(b"\xff\xd8\xff not really a jpeg")
            (photos / "2024" / "report.pdf").write_bytes(b"%PDF-1.4 not really a pdf")

            client._upload_flow(bucket, "greeting.txt", "你好, storage")
            client._upload_dir(bucket, str(photos))
            print("objects:")
            for record in client._bucket_list_files(bucket):
                print(f"  {record['object_name']:<24} {record['size']:>4} bytes  "
                      f"{get_mimora(record['object_name'])}  {record['last_modified']}")

            print("greeting.txt reads:", client._download_flow(bucket, "greeting.txt"))
            out = pathlib.Path(work, "out")
            client._download_dir(bucket, "photos", str(out))
            print("downloaded photos/ (one level):", sorted(os.listdir(out)))

            url = client._get_url(bucket, "photos/notes.txt", days=1)
            with urllib.request.urlopen(url) as response:
                print("presigned URL gives:", response.read().decode().strip())

        names = [r["object_name"] for r in client._bucket_list_files(bucket)]
        client._remove_objects(bucket, names)
        print("remove bucket:", client._remove_bucket(bucket))
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()
