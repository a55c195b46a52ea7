"""Clients used from several threads at once against the S3 server."""

import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

THREADS, ROUNDS = 8, 5


@pytest.mark.parametrize("shared", [False, True], ids=["own-clients", "one-shared-client"])
def test_threads_upload_read_back_and_list(ostrel, s3_config, client, bucket, shared):
    start = threading.Barrier(THREADS, timeout=60)

    def work(n):
        own = client if shared else ostrel.TavrinOstrel(dict(s3_config))
        if not shared:
            own._connect()
        start.wait()
        texts = []
        for i in range(ROUNDS):
            name = f"t{n}/{i}.txt"
            own._upload_flow(bucket, name, f"thread {n} round {i}")
            texts.append(own._download_flow(bucket, name))
        listed = [(r["object_name"], r["size"]) for r in own._bucket_list_files(bucket, f"t{n}/")]
        return texts, listed

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(work, range(THREADS)))  # re-raises the first exception of any thread
    for n, (texts, listed) in enumerate(results):
        assert texts == [f"thread {n} round {i}" for i in range(ROUNDS)]
        assert listed == [(f"t{n}/{i}.txt", len(texts[i])) for i in range(ROUNDS)]
    assert len(client._bucket_list_files(bucket)) == THREADS * ROUNDS
