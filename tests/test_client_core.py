"""Construction, configuration checking, the connection (directly and through
the SSH tunnel) and the bucket operations."""

import gc
import logging
import socket
import threading
import time

import types

import pytest
import urllib3
from minio.error import S3Error

BASE = {"host": "127.0.0.1", "port": 9000, "user": "u", "password": "p"}
SSH_KEYS = ["ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd"]


def s3_error(code="NoSuchBucketPolicy"):
    return S3Error(code, "message", "resource", "request", "host", None)


class TestConfiguration:
    @pytest.mark.parametrize("mapping, message", [
        ({}, "缺少必填参数：['host', 'port', 'user', 'password']"),
        ({"port": 1, "user": "u", "password": "p", "secure": "yes"},
         "缺少必填参数：['host']；参数secure预设值不正确，可选：[True, False]"),
        ({**BASE, "port": 0, "host": ""}, "缺少必填参数：['host', 'port']"),
        ({**BASE, "secure": 2}, "参数secure预设值不正确，可选：[True, False]"),
    ])
    def test_every_problem_in_one_exception(self, ostrel, mapping, message):
        original = dict(mapping)
        with pytest.raises(Exception) as info:
            ostrel.TavrinOstrel(mapping)
        assert type(info.value) is Exception and info.value.args == (message,)
        assert mapping == original  # a failed check adds nothing to the caller's mapping

    @pytest.mark.parametrize("secure", [True, 1, 1.0, False, 0, None])
    def test_secure_values_that_pass(self, ostrel, secure):
        ostrel.TavrinOstrel({**BASE, "secure": secure})

    def test_ssh_defaults_are_added_to_the_callers_mapping_only(self, ostrel):
        mapping = {**BASE, "ssh_port": 2222, "extra": "kept"}
        obj = ostrel.TavrinOstrel(mapping)
        assert list(mapping) == ["host", "port", "user", "password", "ssh_port", "extra",
                                 "ssh", "ssh_host", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd"]
        assert mapping["ssh_port"] == 2222 and all(mapping[k] is None for k in SSH_KEYS if k != "ssh_port")
        stored = obj._config.todict()
        assert stored == {**BASE, "ssh_port": 2222, "extra": "kept"}  # no defaults, no secure entry

    def test_config_is_a_copy_of_the_mapping(self, ostrel):
        mapping = dict(BASE)
        obj = ostrel.TavrinOstrel(mapping)
        mapping["host"] = "elsewhere"
        assert obj._config.host == "127.0.0.1"

    def test_schema_and_defaults(self, ostrel):
        obj = ostrel.TavrinOstrel(dict(BASE))
        schema = {k: {"type": True} for k in ("host", "port", "user", "password")}
        schema["secure"] = {"type": False, "default": False, "optional": [True, False]}
        assert obj._params_dict == schema and list(obj._params_dict) == list(schema)
        assert obj._default_params == dict.fromkeys(SSH_KEYS) and list(obj._default_params) == SSH_KEYS
        first = obj._params_dict
        obj._set_params_dict()
        assert obj._params_dict == first and obj._params_dict is not first
        first = obj._default_params
        obj._set_default_params()
        assert obj._default_params == first and obj._default_params is not first

    @pytest.mark.parametrize("config, message", [
        (None, "argument after ** must be a mapping, not NoneType"),
        (["host"], "argument after ** must be a mapping, not list"),
    ])
    def test_not_a_mapping(self, ostrel, config, message):
        with pytest.raises(TypeError) as info:
            ostrel.TavrinOstrel(config)
        assert str(info.value) == message

    def test_any_mapping_with_keys(self, ostrel):
        from collections import UserDict

        mapping = UserDict(BASE)
        obj = ostrel.TavrinOstrel(mapping)
        assert obj._config.user == "u" and mapping["ssh"] is None

    def test_recheck_on_a_live_instance(self, ostrel):
        obj = ostrel.TavrinOstrel(dict(BASE))
        obj._cleanse_params({**BASE, "host": "other"})
        assert obj._config.host == "other"
        with pytest.raises(Exception, match="缺少必填参数"):
            obj._cleanse_params({})
        assert obj._config.host is None  # replaced before the check, as documented


class FakeTunnel:
    """Stands in for TavrinSSH: records its construction and connect() calls."""

    made = []

    def __init__(self, config):
        self.config = config
        self.connects = 0
        FakeTunnel.made.append(self)

    def connect(self):
        # Only the four attributes _connect reads: nothing else is promised.
        self.connects += 1
        return types.SimpleNamespace(host="10.9.9.9", port=4242, user="u", password="p")


class TestConstruction:
    @pytest.mark.parametrize("ssh", [None, False, 0, ""])
    def test_no_tunnel_for_a_false_ssh(self, ostrel, monkeypatch, ssh):
        monkeypatch.setattr(ostrel, "TavrinSSH", None)  # would fail if called
        obj = ostrel.TavrinOstrel({**BASE, "ssh": ssh})
        assert isinstance(obj._config, ostrel.TavrinVar)
        assert sorted(vars(obj)) == ["_config", "_default_params", "_log", "_params_dict"]

    def test_tunnel_config_replaces_config(self, ostrel, monkeypatch):
        FakeTunnel.made.clear()
        monkeypatch.setattr(ostrel, "TavrinSSH", FakeTunnel)
        mapping = {**BASE, "ssh": True, "ssh_host": "jump", "ssh_user": "me"}
        obj = ostrel.TavrinOstrel(mapping)
        [tunnel] = FakeTunnel.made
        assert tunnel.connects == 1
        assert type(tunnel.config) is dict and tunnel.config == {**BASE, "ssh": True, "ssh_host": "jump", "ssh_user": "me"}
        assert obj._config.host == "10.9.9.9"
        made = []
        monkeypatch.setattr(ostrel.minio, "Minio", lambda **kw: made.append(kw) or object())
        obj._connect()
        assert made[0]["endpoint"] == "10.9.9.9:4242"

    def test_logger_made_with_file_false(self, ostrel, monkeypatch):
        made = []
        monkeypatch.setattr(ostrel, "TavrinLog", lambda *a, **kw: made.append((a, kw)) or "log")
        assert ostrel.TavrinOstrel(dict(BASE))._log == "log"
        assert made == [((), {"file": False})]

    def test_companion_failure_passes_out(self, ostrel, monkeypatch):
        def broken(config):
            raise OSError("tunnel refused")

        monkeypatch.setattr(ostrel, "TavrinSSH", broken)
        with pytest.raises(OSError, match="tunnel refused"):
            ostrel.TavrinOstrel({**BASE, "ssh": True})

    def test_operations_before_connect_fail_without_network(self, ostrel):
        obj = ostrel.TavrinOstrel(dict(BASE))
        with pytest.raises(AttributeError, match="_engine"):
            obj._bucket_list()


class TestConnect:
    @pytest.mark.parametrize("port, extra", [
        (9000, {}), ("9000", {"timeout": None, "workers": 1, "tls": None}),
        (9000, {"tls": False, "target_host": "x"}),
    ])
    def test_minio_arguments(self, ostrel, monkeypatch, port, extra):
        made = []
        monkeypatch.setattr(ostrel.minio, "Minio", lambda *a, **kw: made.append((a, kw)) or object())
        obj = ostrel.TavrinOstrel({**BASE, "port": port, "secure": True, **extra})
        with pytest.warns(UserWarning, match="plain HTTP"):  # see test_tls.py
            obj._connect()
        assert made == [((), {"endpoint": "127.0.0.1:9000", "access_key": "u", "secret_key": "p", "secure": False})]
        assert list(made[0][1]) == ["endpoint", "access_key", "secret_key", "secure"]

    @pytest.mark.parametrize("workers, timeout, maxsize, seconds", [
        (2, None, 10, 300), (256, None, 256, 300), (16, 2.5, 16, 2.5), (None, 2.5, 10, 2.5),
    ])
    def test_http_pool_for_workers_and_timeout(self, ostrel, monkeypatch, workers, timeout, maxsize, seconds):
        """A connection per transfer thread; the library's own timeouts and
        retries unless `timeout` is given."""
        made = []
        monkeypatch.setattr(ostrel.minio, "Minio", lambda **kw: made.append(kw) or object())
        ostrel.TavrinOstrel({**BASE, "workers": workers, "timeout": timeout})._connect()
        pool = made[0].pop("http_client").connection_pool_kw
        assert made == [{"endpoint": "127.0.0.1:9000", "access_key": "u", "secret_key": "p", "secure": False}]
        timeout, retries = pool["timeout"], pool["retries"]
        assert (pool["maxsize"], timeout.connect_timeout, timeout.read_timeout) == (maxsize, seconds, seconds)
        assert (retries.total, retries.backoff_factor, retries.status_forcelist) == (5, 0.2, [500, 502, 503, 504])

    def test_reconnect_replaces_the_client(self, ostrel):
        obj = ostrel.TavrinOstrel(dict(BASE))
        obj._connect()
        first = obj._engine
        obj._connect()
        assert obj._engine is not first

    def test_failure_keeps_the_previous_client(self, ostrel):
        obj = ostrel.TavrinOstrel(dict(BASE))
        obj._connect()
        first = obj._engine
        obj._config.set("host", "http://bad host")
        with pytest.raises(ValueError):
            obj._connect()
        assert obj._engine is first


@pytest.mark.parametrize("key, value", [
    *[("timeout", v) for v in [True, 0, -1, 0.0, float("nan"), float("inf"), 10**400, "5", [5]]],
    *[("workers", v) for v in [True, 0, -2, 257, 10**30, 2.0, "4", [4]]],
    *[("tls", v) for v in [1, 0, b"/etc/hosts", "", "/no/such/ca.pem", "/", ["/etc/hosts"]]],
])
def test_optional_key_refused(ostrel, key, value):
    mapping = {**BASE, key: value}
    wanted = {"timeout": "a positive number of seconds", "workers": "an int from 1 to 256",
              "tls": "True, False, None or the path of a CA bundle file"}[key]
    with pytest.raises(ValueError, match=f"^{key} must be {wanted}, not "):
        ostrel.TavrinOstrel(mapping)
    assert "ssh" not in mapping  # refused before the defaults are added
    with pytest.raises(Exception, match="^缺少必填参数：\\['host'\\]$"):  # schema problems come first
        ostrel.TavrinOstrel({**mapping, "host": ""})


class TestTimeout:
    def test_a_stalled_server_fails_the_call_in_bounded_time(self, ostrel):
        timeout, held, stop = 0.3, [], threading.Event()
        server = socket.create_server(("127.0.0.1", 0))
        server.settimeout(0.05)

        def accept_and_never_answer():
            while not stop.is_set():
                try:
                    held.append(server.accept()[0])
                except TimeoutError:
                    pass

        thread = threading.Thread(target=accept_and_never_answer)
        thread.start()
        try:
            obj = ostrel.TavrinOstrel({**BASE, "port": server.getsockname()[1], "timeout": timeout})
            obj._connect()
            start = time.monotonic()
            with pytest.raises(urllib3.exceptions.MaxRetryError, match="ReadTimeout"):
                obj._download_flow("bucket", "object")
            elapsed = time.monotonic() - start
        finally:
            stop.set()
            thread.join()
            for sock in [server, *held]:
                sock.close()
        # Six attempts of `timeout` each, with backoff sleeps of 0.4, 0.8, 1.6 and 3.2 s between them.
        assert 6 * timeout <= elapsed < 6 * timeout + 6.0 + 5.0


class TestBucketCalls:
    """The exact requests and warnings, against a recording storage client."""

    def test_create_existing(self, recorder_client):
        obj, engine, log = recorder_client(bucket_exists=True)
        assert obj._create_bucket("b") is False
        assert engine.calls == [("bucket_exists", ("b",), {})]
        assert log.calls == [("warning", ("桶已存在",), {})]

    @pytest.mark.parametrize("args, location, lock", [
        (("b",), "cn-north-1", False),
        (("b", "us-west-2", True), "us-west-2", True),
        (("b", "eu", "yes"), "eu", "yes"),  # passed on unchanged
    ])
    def test_create_new(self, recorder_client, args, location, lock):
        obj, engine, log = recorder_client(bucket_exists=False)
        assert obj._create_bucket(*args) is True
        assert engine.calls == [("bucket_exists", ("b",), {}),
                                ("make_bucket", ("b",), {"location": location, "object_lock": lock})]
        assert log.calls == []

    def test_remove(self, recorder_client):
        obj, engine, log = recorder_client(bucket_exists=1)
        assert obj._remove_bucket("b") is True
        assert engine.names() == ["bucket_exists", "remove_bucket"] and log.calls == []
        obj, engine, log = recorder_client(bucket_exists=0)
        assert obj._remove_bucket("b") is False
        assert engine.names() == ["bucket_exists"] and log.calls == [("warning", ("桶不存在，删除失败",), {})]

    def test_list_is_passed_through(self, recorder_client):
        result = []
        obj, engine, _ = recorder_client(list_buckets=result)
        assert obj._bucket_list() is result and engine.calls == [("list_buckets", (), {})]

    @pytest.mark.parametrize("code", ["NoSuchBucketPolicy", "AccessDenied"])
    def test_policy_s3_error_is_a_warning(self, recorder_client, code):
        obj, _, log = recorder_client(get_bucket_policy=s3_error(code))
        assert obj._bucket_policy("b") is None
        assert log.calls == [("warning", ("桶策略不存在",), {})]

    def test_policy_other_errors_pass(self, recorder_client):
        obj, _, log = recorder_client(get_bucket_policy=ConnectionError("down"))
        with pytest.raises(ConnectionError):
            obj._bucket_policy("b")
        assert log.calls == []

    @pytest.mark.parametrize("method", ["bucket_exists", "make_bucket"])
    def test_create_errors_pass_unlogged(self, recorder_client, method):
        results = {"bucket_exists": False, method: s3_error("AccessDenied")}
        obj, _, log = recorder_client(**results)
        with pytest.raises(S3Error):
            obj._create_bucket("b")
        assert log.calls == []

    def test_logger_failure_passes_out(self, recorder_client):
        obj, _, _ = recorder_client(bucket_exists=True)
        obj._log = None
        with pytest.raises(AttributeError):
            obj._create_bucket("b")


class TestBucketsEndToEnd:
    def test_lifecycle(self, client, caplog):
        caplog.set_level(logging.WARNING, logger="tavrin_minio")
        assert client._create_bucket("photos", "us-east-1") is True
        assert client._create_bucket("photos", "us-east-1") is False
        assert [b.name for b in client._bucket_list()] == ["photos"]
        assert client._bucket_policy("photos") is None
        policy = ('{"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"AWS":["*"]},'
                  '"Action":["s3:GetObject"],"Resource":["arn:aws:s3:::photos/*"]}]}')
        client._engine.set_bucket_policy("photos", policy)
        assert '"s3:GetObject"' in client._bucket_policy("photos")
        assert client._remove_bucket("photos") is True
        assert client._remove_bucket("photos") is False
        assert client._bucket_list() == []
        assert [r.getMessage() for r in caplog.records] == ["桶已存在", "桶策略不存在", "桶不存在，删除失败"]

    def test_default_region_and_object_lock(self, client):
        assert client._create_bucket("locked", object_lock=True) is True
        assert client._engine.get_object_lock_config("locked") is not None
        assert client._create_bucket("locked") is False  # seen in its own region

    def test_remove_non_empty_bucket_raises(self, client, bucket):
        import io

        client._engine.put_object(bucket, "x", io.BytesIO(b"1"), 1)
        with pytest.raises(S3Error, match="BucketNotEmpty"):
            client._remove_bucket(bucket)


@pytest.mark.sshd
class TestTunnel:
    def test_reaches_storage_through_sshd_with_a_key(self, ostrel, sshd_server, s3_config):
        mapping = sshd_server.ssh_config(s3_config["host"], s3_config["port"],
                                         user=s3_config["user"], password=s3_config["password"])
        obj = ostrel.TavrinOstrel(mapping)
        assert obj._config.host == "127.0.0.1" and obj._config.port != s3_config["port"]
        obj._connect()
        assert obj._create_bucket("tunnelled", "us-east-1") is True
        assert [b.name for b in obj._bucket_list()] == ["tunnelled"]

    def test_password_login(self, ostrel, sshd_server, sshd_password_user, s3_config):
        mapping = sshd_server.ssh_config(s3_config["host"], s3_config["port"], user="u", password="p",
                                         ssh_user=sshd_password_user.name, ssh_password=sshd_password_user.password,
                                         ssh_rsa=None, ssh_rsa_pwd=None)
        obj = ostrel.TavrinOstrel(mapping)
        obj._connect()
        assert obj._bucket_list() == []

    def test_wrong_password_fails_construction_and_leaks_no_thread(self, ostrel, sshd_server,
                                                                     sshd_password_user, s3_config):
        before = set(threading.enumerate())
        mapping = sshd_server.ssh_config(s3_config["host"], s3_config["port"], user="u", password="p",
                                         ssh_user=sshd_password_user.name, ssh_password="wrong",
                                         ssh_rsa=None, ssh_rsa_pwd=None)
        with pytest.raises(Exception, match="(?i)auth"):
            ostrel.TavrinOstrel(mapping)
        gc.collect()
        for _ in range(50):
            if set(threading.enumerate()) <= before:
                break
            threading.Event().wait(0.1)
        assert set(threading.enumerate()) <= before
