"""The ostrel module itself: its bindings, the shape of TavrinOstrel, argument
checking shared by every method, and the one-interpreter loading rules."""

import inspect
import subprocess
import sys
import textwrap

import pytest

METHODS = [
    ("__init__", "TavrinOstrel.__init__(self, config)"),
    ("_cleanse_params", "TavrinOstrel._cleanse_params(self, config)"),
    ("_set_params_dict", "TavrinOstrel._set_params_dict(self)"),
    ("_set_default_params", "TavrinOstrel._set_default_params(self)"),
    ("_connect", "TavrinOstrel._connect(self)"),
    ("_create_bucket", "TavrinOstrel._create_bucket(self, bucket_name, location=u'cn-north-1', object_lock=False)"),
    ("_remove_bucket", "TavrinOstrel._remove_bucket(self, bucket_name)"),
    ("_bucket_list", "TavrinOstrel._bucket_list(self)"),
    ("_bucket_list_files", "TavrinOstrel._bucket_list_files(self, bucket_name, prefix=u'')"),
    ("_bucket_policy", "TavrinOstrel._bucket_policy(self, bucket_name)"),
    ("_upload_flow", "TavrinOstrel._upload_flow(self, bucket_name, object_name, data)"),
    ("_upload_file", "TavrinOstrel._upload_file(self, bucket_name, object_name, file_name, parallel=3)"),
    ("_upload_dir", "TavrinOstrel._upload_dir(self, bucket_name, dir_path, parallel=3, base_dir=None)"),
    ("_download_flow", "TavrinOstrel._download_flow(self, bucket_name, object_name)"),
    ("_download_file", "TavrinOstrel._download_file(self, bucket_name, object_name, file_name)"),
    ("_download_dir", "TavrinOstrel._download_dir(self, bucket_name, object_path, dir_path)"),
    ("_remove_object", "TavrinOstrel._remove_object(self, bucket_name, object_name)"),
    ("_remove_objects", "TavrinOstrel._remove_objects(self, bucket_name, object_list)"),
    ("_get_url", "TavrinOstrel._get_url(self, bucket, object_name, days=7)"),
    ("_list_folder", "TavrinOstrel._list_folder(self, bucket_name, prefix='', *, recursive=False, wildcard=False)"),
    ("_upload_tree", "TavrinOstrel._upload_tree(self, bucket_name, dir_path, prefix='', *, exclude=None, "
                     "skip_unchanged=False, delete=False, dry_run=False, report=None, filters=None)"),
    ("_download_tree", "TavrinOstrel._download_tree(self, bucket_name, prefix, dir_path, *, exclude=None, "
                       "skip_unchanged=False, delete=False, dry_run=False, report=None, filters=None, wildcard=False)"),
    ("_remove_tree", "TavrinOstrel._remove_tree(self, bucket_name, prefix, *, exclude=None, dry_run=False, "
                     "report=None, filters=None, wildcard=False)"),
    ("_download_stream", "TavrinOstrel._download_stream(self, bucket_name, object_name, stream)"),
    ("_copy_object", "TavrinOstrel._copy_object(self, source_bucket, source_name, bucket_name, object_name, *, "
                     "move=False)"),
    ("_copy_tree", "TavrinOstrel._copy_tree(self, source_bucket, source_prefix, bucket_name, prefix='', *, "
                   "exclude=None, filters=None, wildcard=False, skip_unchanged=False, delete=False, move=False, "
                   "dry_run=False, report=None)"),
    ("_folder_usage", "TavrinOstrel._folder_usage(self, bucket_name, prefix='', *, wildcard=False)"),
    ("_stat_object", "TavrinOstrel._stat_object(self, bucket_name, object_name)"),
    ("_move_file_up", "TavrinOstrel._move_file_up(self, bucket_name, object_name, file_path)"),
    ("_move_tree_up", "TavrinOstrel._move_tree_up(self, bucket_name, dir_path, prefix='', *, filters=None, "
                      "report=None)"),
    ("_move_tree_down", "TavrinOstrel._move_tree_down(self, bucket_name, prefix, dir_path, *, filters=None, "
                        "wildcard=False, report=None)"),
    ("_upload_stream", "TavrinOstrel._upload_stream(self, bucket_name, object_name, stream)"),
    ("_transfer_many", "TavrinOstrel._transfer_many(self, action, pairs, *, return_exceptions=False, report=None)"),
    ("_folder_tree", "TavrinOstrel._folder_tree(self, bucket_name, prefix='', root='')"),
]


def run_python(code):
    """Runs code in a fresh interpreter; returns its stdout (fails on a non-zero exit)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


class TestModule:
    def test_bindings_in_order(self, ostrel):
        import datetime
        import io
        import os

        import minio
        from minio.deleteobjects import DeleteObject
        from minio.error import S3Error
        from tavrin_log import TavrinLog
        from tavrin_ssh import TavrinSSH
        from tavrin_var import TavrinVar

        from tavrin_minio.mimora import get_mimora

        names = [k for k in vars(ostrel) if not k.startswith("__")]
        assert names == ["io", "os", "timedelta", "minio", "DeleteObject", "S3Error", "TavrinLog",
                         "TavrinSSH", "TavrinVar", "get_mimora", "TavrinOstrel", "urllib3"]
        assert ostrel.io is io and ostrel.os is os and ostrel.timedelta is datetime.timedelta
        assert ostrel.minio is minio and ostrel.DeleteObject is DeleteObject and ostrel.S3Error is S3Error
        assert ostrel.TavrinLog is TavrinLog and ostrel.TavrinSSH is TavrinSSH and ostrel.TavrinVar is TavrinVar
        assert ostrel.get_mimora is get_mimora and ostrel.urllib3 is sys.modules["urllib3"]

    def test_class_is_an_ordinary_python_class(self, ostrel):
        cls = ostrel.TavrinOstrel
        assert type(cls) is type and cls.__bases__ == (object,)
        assert cls.__name__ == cls.__qualname__ == "TavrinOstrel"
        assert cls.__doc__ is None
        own = [k for k in vars(cls) if k == "__init__" or not k.startswith("__")]
        assert own == [name for name, _ in METHODS]
        for name, doc in METHODS:
            assert getattr(cls, name).__doc__ == doc, name

    def test_methods_bind_like_python_methods_and_can_be_overridden(self, ostrel, s3_config):
        class Sub(ostrel.TavrinOstrel):
            def _set_default_params(self):
                self._default_params = {"extra": 1}

        mapping = dict(s3_config)
        obj = Sub(mapping)
        assert mapping["extra"] == 1 and "ssh" not in mapping  # the override ran, from native code
        assert inspect.ismethod(obj._connect) and obj._connect.__self__ is obj
        obj.note = "kept"
        assert vars(obj)["note"] == "kept"

    def test_module_globals_are_looked_up_when_used(self, ostrel, monkeypatch, s3_config):
        made = []

        class FakeMinio:
            def __init__(self, **kwargs):
                made.append(kwargs)

        class FakeModule:
            Minio = FakeMinio

        monkeypatch.setattr(ostrel, "minio", FakeModule)
        obj = ostrel.TavrinOstrel(dict(s3_config))
        obj._connect()
        assert isinstance(obj._engine, FakeMinio) and len(made) == 1

        monkeypatch.delattr(ostrel, "TavrinLog")
        with pytest.raises(NameError, match="name 'TavrinLog' is not defined"):
            ostrel.TavrinOstrel(dict(s3_config))


# (call, message) pairs: every method goes through the same binder.
ARGUMENT_ERRORS = [
    (lambda o: o._create_bucket(), "_create_bucket() takes at least 2 positional arguments (1 given)"),
    (lambda o: o._create_bucket("a", "b", "c", "d"), "_create_bucket() takes at most 4 positional arguments (5 given)"),
    (lambda o: o._bucket_list(1), "_bucket_list() takes exactly 1 positional argument (2 given)"),
    (lambda o: o._remove_object(bucket_name="b"), "_remove_object() takes exactly 3 positional arguments (2 given)"),
    (lambda o: o._remove_object(object_name="x"), "_remove_object() takes exactly 3 positional arguments (1 given)"),
    (lambda o: o._upload_dir("b", "d", 3, None, 5), "_upload_dir() takes at most 5 positional arguments (6 given)"),
    (lambda o: o._bucket_policy("b", bucket_name="c"),
     "_bucket_policy() got multiple values for keyword argument 'bucket_name'"),
    (lambda o: o._get_url("b", "o", bucket_name="b"), "_get_url() got an unexpected keyword argument 'bucket_name'"),
    (lambda o: o._connect(self=o), "_connect() got multiple values for keyword argument 'self'"),
    (lambda o: type(o)._bucket_list(), "_bucket_list() takes exactly 1 positional argument (0 given)"),
    (lambda o: type(o)(), "__init__() takes exactly 2 positional arguments (1 given)"),
]


class TestArguments:
    @pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
    def test_errors_come_before_any_request(self, recorder_client, call, message):
        obj, engine, log = recorder_client()
        with pytest.raises(TypeError) as info:
            call(obj)
        assert str(info.value) == message
        assert engine.calls == [] and log.calls == []

    def test_every_parameter_by_keyword(self, recorder_client):
        obj, engine, _ = recorder_client(bucket_exists=False)
        assert obj._create_bucket(object_lock=True, bucket_name="b", location="us-east-1") is True
        assert engine.calls[-1] == ("make_bucket", ("b",), {"location": "us-east-1", "object_lock": True})
        type(obj)._remove_object(self=obj, bucket_name="b", object_name="o")
        assert engine.calls[-1] == ("remove_object", ("b", "o"), {})

    def test_constructor_by_keyword(self, ostrel, s3_config):
        obj = ostrel.TavrinOstrel(config=dict(s3_config))
        assert obj._config.host == s3_config["host"]


class TestLoading:
    def test_reimport_gives_the_same_module_and_bare_name_entry(self):
        out = run_python("""
            import importlib, sys
            import tavrin_minio.ostrel as first
            assert sys.modules["ostrel"] is first
            del sys.modules["tavrin_minio.ostrel"], sys.modules["ostrel"]
            second = importlib.import_module("tavrin_minio.ostrel")
            print(second is first, second.TavrinOstrel is first.TavrinOstrel)
        """)
        assert out.split() == ["True", "True"]

    def test_bare_name_taken_is_left_alone(self):
        out = run_python("""
            import sys, types
            sys.modules["ostrel"] = placeholder = types.ModuleType("ostrel")
            import tavrin_minio.ostrel
            print(sys.modules["ostrel"] is placeholder)
        """)
        assert out.split() == ["True"]

    def test_failed_import_is_forgotten_and_named_in_the_traceback(self):
        out = run_python("""
            import importlib, sys, traceback
            sys.modules["tavrin_ssh"] = None  # makes the import of a companion fail
            try:
                import tavrin_minio.ostrel
            except ImportError as error:
                names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
                print("init ostrel" in names)
            print("ostrel" in sys.modules, "tavrin_minio.ostrel" in sys.modules)
            del sys.modules["tavrin_ssh"]
            module = importlib.import_module("tavrin_minio.ostrel")
            print(module.TavrinSSH.__name__)
        """)
        assert out.split() == ["True", "False", "False", "TavrinSSH"]

    def test_second_initialisation_with_another_module_is_refused(self):
        out = run_python("""
            import ctypes, types
            import tavrin_minio.ostrel as ostrel
            library = ctypes.PyDLL(ostrel.__file__)
            library.PyInit_ostrel.restype = ctypes.c_void_p
            definition = library.PyInit_ostrel()
            exec_def = ctypes.pythonapi.PyModule_ExecDef
            exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
            exec_def.restype = ctypes.c_int
            try:
                exec_def(types.ModuleType("ostrel"), definition)
            except RuntimeError as error:
                print(error)
        """)
        assert out.strip() == "Module 'ostrel' has already been imported. Re-initialisation is not supported."

    def test_second_interpreter_is_refused(self, tmp_path):
        # 3.13: an isolated interpreter; 3.11/3.12: a legacy one from _testcapi.
        out_file = tmp_path / "outcome.txt"
        probe = (
            "try:\n    import tavrin_minio.ostrel\n    outcome = 'imported'\n"
            "except ImportError as error:\n    outcome = str(error)\n"
            f"open({str(out_file)!r}, 'w').write(outcome)\n"
        )
        run_python(f"""
            import sys
            import tavrin_minio.ostrel
            try:
                import _interpreters
            except ImportError:
                import _testcapi
                _testcapi.run_in_subinterp({probe!r})
            else:
                _interpreters.exec(_interpreters.create(), {probe!r})
        """)
        assert out_file.read_text() == ("Interpreter change detected - this module can only be loaded "
                                        "into one interpreter per process.")
