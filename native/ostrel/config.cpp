// Construction, configuration checking and the connection to the storage endpoint.
#include "config.hpp"

#include "digests.hpp"
#include "progress.hpp"
#include "unchanged.hpp"
#include "verify.hpp"

#include <algorithm>
#include <cmath>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;
using tavrin::setattr;
using tavrin::truth;

// dict(**mapping) as keyword unpacking builds it: a mapping is anything
// with keys(); everything else is refused with the interpreter's wording.
Ref keyword_entries(PyObject* mapping) {
    if (!PyDict_Check(mapping) && !PyObject_HasAttrString(mapping, "keys")) {
        PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    Ref entries = require(PyDict_New());
    require(PyDict_Merge(entries.get(), mapping, 1));
    return entries;
}

// key, value = item
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
    Ref pair = require(PySequence_Tuple(item));
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected a (key, value) pair, got %zd values", PyTuple_GET_SIZE(pair.get()));
        throw tavrin::PyErrOccurred();
    }
    return {Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
}

// Calls visit(key, value) for each pair of mapping.items(), in order.
template <typename Visit>
void for_each_item(PyObject* mapping, Visit&& visit) {
    Ref items = call_method(mapping, state().n.items.get(), {});
    tavrin::for_each(items.get(), [&](Ref item) {
        auto [key, value] = unpack_pair(item.get());
        visit(key.get(), value.get());
    });
}

// The configuration's optional `timeout` must be None (no timeout of our
// own) or a positive, finite int or float of seconds; bool does not count.
void check_timeout(PyObject* self) {
    State& s = state();
    Ref config = getattr(self, s.n._config.get());
    Ref value = call_method(config.get(), s.n.get.get(), {s.n.timeout.get()});
    PyObject* v = value.get();
    if (v == Py_None) return;
    if (PyBool_Check(v) || !(PyLong_Check(v) || PyFloat_Check(v))) {
        PyErr_Format(PyExc_ValueError, "timeout must be a positive number of seconds, not %.200s",
                     Py_TYPE(v)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    const double seconds = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
    if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();  // an int beyond float range: refused below
    if (!(seconds > 0.0 && std::isfinite(seconds))) {
        PyErr_Format(PyExc_ValueError, "timeout must be a positive number of seconds, not %R", v);
        throw tavrin::PyErrOccurred();
    }
}

// The configuration's optional `workers` must be None or an int of 1 to 256.
void check_workers(PyObject* self) {
    State& s = state();
    Ref config = getattr(self, s.n._config.get());
    workers_from(call_method(config.get(), s.n.get.get(), {s.n.workers.get()}).get());
}

// The configuration's optional `progress` (None, False, True or a callable),
// `skip_unchanged` (None, False or True), `verify` (None, True or False) and
// `digest_cache` (None, True, False or a file's path).
void check_transfer_options(PyObject* self) {
    State& s = state();
    Ref config = getattr(self, s.n._config.get());
    progress_from(call_method(config.get(), s.n.get.get(), {s.n.progress.get()}).get());
    skip_unchanged_from(call_method(config.get(), s.n.get.get(), {s.n.skip_unchanged.get()}).get());
    verify_from(call_method(config.get(), s.n.get.get(), {s.n.verify.get()}).get());
    Ref digest_cache = tavrin::text("digest_cache");
    digest_cache_from(call_method(config.get(), s.n.get.get(), {digest_cache.get()}).get());
}

// An HTTP client for the storage client with `seconds` as its connect and
// read timeout and room for `connections` connections per host, otherwise
// set up as the client library sets up its own: up to five retries with
// backoff, also on the statuses 500, 502, 503 and 504. With `ca_bundle`, for
// TLS: a certificate is required and checked against that CA bundle (PEM
// file), and against the name `hostname` (also sent as SNI) when given,
// instead of the endpoint's host.
Ref http_client(PyObject* seconds, long connections, PyObject* ca_bundle = nullptr, PyObject* hostname = nullptr) {
    State& s = state();
    Ref urllib3 = global(s.n.urllib3.get());
    Ref timeout = call(getattr(urllib3.get(), s.n.Timeout.get()).get(), {seconds, seconds}, s.kw_timeout.get());
    Ref total = require(PyLong_FromLong(5));
    Ref backoff = require(PyFloat_FromDouble(0.2));
    Ref statuses = require(Py_BuildValue("[iiii]", 500, 502, 503, 504));
    Ref retries = call(getattr(urllib3.get(), s.n.Retry.get()).get(), {total.get(), backoff.get(), statuses.get()},
                       s.kw_retry.get());
    Ref maxsize = require(PyLong_FromLong(connections));
    Ref pool = getattr(urllib3.get(), s.n.PoolManager.get());
    if (ca_bundle == nullptr) {
        return call(pool.get(), {timeout.get(), maxsize.get(), retries.get()}, s.kw_pool.get());
    }
    PyObject* required = s.cert_required.get();
    if (hostname == nullptr) {
        return call(pool.get(), {timeout.get(), maxsize.get(), retries.get(), required, ca_bundle},
                    s.kw_pool_tls.get());
    }
    return call(pool.get(), {timeout.get(), maxsize.get(), retries.get(), required, ca_bundle, hostname, hostname},
                s.kw_pool_tls_host.get());
}

// Whether a `tls` value asks for TLS: no for None and False; yes for True
// (the client library's default CAs) and for a str naming an existing file
// (a CA bundle). ValueError naming the key for anything else.
bool tls_from(PyObject* value) {
    if (value == Py_None || value == Py_False) return false;
    if (value == Py_True) return true;
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_ValueError, "tls must be True, False, None or the path of a CA bundle file, not %.200s",
                     Py_TYPE(value)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    Ref path = getattr(global(state().n.os.get()).get(), state().n.path.get());
    if (!truth(call_method(path.get(), state().n.isfile.get(), {value}))) {
        PyErr_Format(PyExc_ValueError,
                     "tls must be True, False, None or the path of a CA bundle file, not %R (no such file)", value);
        throw tavrin::PyErrOccurred();
    }
    return true;
}

// The configuration's optional `tls` (see tls_from).
void check_tls(PyObject* self) {
    State& s = state();
    Ref config = getattr(self, s.n._config.get());
    tls_from(call_method(config.get(), s.n.get.get(), {s.n.tls.get()}).get());
}

// The CA bundle the client library checks certificates against by default:
// the file SSL_CERT_FILE names, else certifi's (imported on first use).
Ref default_ca_bundle() {
    State& s = state();
    Ref variables = getattr(global(s.n.os.get()).get(), s.n.environ_.get());
    Ref named = call_method(variables.get(), s.n.get.get(), {s.ssl_cert_file.get()});
    if (truth(named)) return named;
    Ref certifi = require(PyImport_Import(s.n.certifi.get()));
    return call_method(certifi.get(), s.n.where.get(), {});
}

// The name the server's certificate must carry when it is not the endpoint's
// host: behind an SSH tunnel (`ssh` true) the endpoint is the local forward,
// and the tunnel's configuration keeps the configured host as `target_host`.
// Empty otherwise. Both are optional attributes.
Ref tunnel_target(PyObject* config) {
    State& s = state();
    Ref ssh = tavrin::optional_getattr(config, s.n.ssh.get());
    if (!ssh || !truth(ssh)) return Ref();
    Ref host = tavrin::optional_getattr(config, s.n.target_host.get());
    if (!host || host.get() == Py_None) return Ref();
    return require(PyObject_Format(host.get(), s.empty.get()));
}

// `secure` alone does not turn TLS on: say so through the warnings module.
void warn_if_secure(PyObject* config) {
    Ref secure = tavrin::optional_getattr(config, state().n.secure.get());
    if (!secure || !truth(secure)) return;
    require(PyErr_WarnEx(PyExc_UserWarning,
                         "the connection to the storage server is plain HTTP: 'secure' does not turn TLS on; "
                         "the 'tls' key does (True, or the path of a CA bundle)",
                         1));
}

Ref config_value(PyObject* self, PyObject* name) {
    Ref config = getattr(self, state().n._config.get());
    return getattr(config.get(), name);
}

// TavrinOstrel.__init__(self, config)
constexpr Signature<2> kInit{"__init__", {"self", "config"}, 2};
Ref init(const Args<2>& a) {
    State& s = state();
    PyObject* self = a[0];
    Ref log_class = global(s.n.TavrinLog.get());
    setattr(self, s.n._log.get(), call(log_class.get(), {Py_False}, s.kw_file.get()));
    call_method(self, s.n._cleanse_params.get(), {a[1]});
    Ref config = getattr(self, s.n._config.get());
    if (truth(getattr(config.get(), s.n.ssh.get()))) {
        Ref entries = call_method(config.get(), s.n.todict.get(), {});
        Ref tunnel = call(global(s.n.TavrinSSH.get()).get(), {entries.get()});
        setattr(self, s.n._config.get(), call_method(tunnel.get(), s.n.connect.get(), {}));
    }
    return Ref::borrow(Py_None);
}

// TavrinOstrel._cleanse_params(self, config)
constexpr Signature<2> kCleanseParams{"_cleanse_params", {"self", "config"}, 2};
Ref cleanse_params(const Args<2>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* mapping = a[1];

    Ref entries = keyword_entries(mapping);
    Ref empty_args = require(PyTuple_New(0));
    Ref var_class = global(s.n.TavrinVar.get());
    setattr(self, s.n._config.get(), require(PyObject_Call(var_class.get(), empty_args.get(), entries.get())));
    call_method(self, s.n._set_params_dict.get(), {});

    Ref missing = require(PyList_New(0));
    Ref wrong = require(PyList_New(0));  // (key, allowed values)
    Ref params = getattr(self, s.n._params_dict.get());
    for_each_item(params.get(), [&](PyObject* key, PyObject* entry) {
        Ref config = getattr(self, s.n._config.get());
        if (truth(call_method(config.get(), s.n.get.get(), {key}))) {
            Ref allowed = call_method(entry, s.n.get.get(), {s.n.optional.get()});
            if (truth(allowed)) {
                Ref value = call_method(getattr(self, s.n._config.get()).get(), s.n.get.get(), {key});
                if (!tavrin::contains(allowed.get(), value.get())) {
                    Ref pair = require(PyTuple_Pack(2, key, allowed.get()));
                    require(PyList_Append(wrong.get(), pair.get()));
                }
            }
        } else if (truth(call_method(entry, s.n.get.get(), {s.n.type.get()}))) {
            require(PyList_Append(missing.get(), key));
        } else {
            Ref fallback = call_method(entry, s.n.get.get(), {s.n.default_.get()});
            if (truth(fallback)) call_method(config.get(), s.n.set.get(), {key, fallback.get()});
        }
    });

    Ref messages = require(PyList_New(0));
    if (PyList_GET_SIZE(missing.get()) > 0) {
        require(PyList_Append(messages.get(), concat({s.msg_missing.get(), missing.get()}).get()));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wrong.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(wrong.get(), i);
        Ref message = concat({s.msg_param.get(), PyTuple_GET_ITEM(pair, 0), s.msg_bad_value.get(),
                              PyTuple_GET_ITEM(pair, 1)});
        require(PyList_Append(messages.get(), message.get()));
    }
    if (PyList_GET_SIZE(messages.get()) > 0) {
        Ref joined = require(PyUnicode_Join(s.msg_separator.get(), messages.get()));
        PyErr_SetObject(PyExc_Exception, joined.get());
        throw tavrin::PyErrOccurred();
    }
    check_timeout(self);
    check_workers(self);
    check_tls(self);
    check_transfer_options(self);

    call_method(self, s.n._set_default_params.get(), {});
    Ref defaults = getattr(self, s.n._default_params.get());
    for_each_item(defaults.get(), [&](PyObject* key, PyObject* fallback) {
        Ref keys = call_method(mapping, s.n.keys.get(), {});
        if (!tavrin::contains(keys.get(), key)) {
            Ref update = require(PyDict_New());
            require(PyDict_SetItem(update.get(), key, fallback));
            call_method(mapping, s.n.update.get(), {update.get()});
        }
    });
    return Ref::borrow(Py_None);
}

// TavrinOstrel._set_params_dict(self)
constexpr Signature<1> kSetParamsDict{"_set_params_dict", {"self"}, 1};
Ref set_params_dict(const Args<1>& a) {
    State& s = state();
    Ref schema = require(PyDict_New());
    for (PyObject* key : {s.n.host.get(), s.n.port.get(), s.n.user.get(), s.n.password.get()}) {
        Ref entry = require(PyDict_New());
        require(PyDict_SetItem(entry.get(), s.n.type.get(), Py_True));
        require(PyDict_SetItem(schema.get(), key, entry.get()));
    }
    Ref secure = require(PyDict_New());
    Ref allowed = require(PyList_New(2));
    PyList_SET_ITEM(allowed.get(), 0, Py_NewRef(Py_True));
    PyList_SET_ITEM(allowed.get(), 1, Py_NewRef(Py_False));
    require(PyDict_SetItem(secure.get(), s.n.type.get(), Py_False));
    require(PyDict_SetItem(secure.get(), s.n.default_.get(), Py_False));
    require(PyDict_SetItem(secure.get(), s.n.optional.get(), allowed.get()));
    require(PyDict_SetItem(schema.get(), s.n.secure.get(), secure.get()));
    setattr(a[0], s.n._params_dict.get(), schema);
    return Ref::borrow(Py_None);
}

// TavrinOstrel._set_default_params(self)
constexpr Signature<1> kSetDefaultParams{"_set_default_params", {"self"}, 1};
Ref set_default_params(const Args<1>& a) {
    State& s = state();
    Ref defaults = require(PyDict_New());
    for (PyObject* key : {s.n.ssh.get(), s.n.ssh_host.get(), s.n.ssh_port.get(), s.n.ssh_user.get(),
                          s.n.ssh_password.get(), s.n.ssh_rsa.get(), s.n.ssh_rsa_pwd.get()}) {
        require(PyDict_SetItem(defaults.get(), key, Py_None));
    }
    setattr(a[0], s.n._default_params.get(), defaults);
    return Ref::borrow(Py_None);
}

// TavrinOstrel._connect(self)
constexpr Signature<1> kConnect{"_connect", {"self"}, 1};
Ref connect(const Args<1>& a) {
    State& s = state();
    PyObject* self = a[0];
    Ref minio_class = getattr(global(s.n.minio.get()).get(), s.n.Minio.get());
    Ref host = require(PyObject_Format(config_value(self, s.n.host.get()).get(), s.empty.get()));
    Ref port = require(PyObject_Format(config_value(self, s.n.port.get()).get(), s.empty.get()));
    Ref endpoint = concat({host.get(), s.colon.get(), port.get()});
    Ref user = config_value(self, s.n.user.get());
    Ref password = config_value(self, s.n.password.get());
    // Optional: the configuration a tunnel returns need not carry it.
    Ref config = getattr(self, s.n._config.get());
    Ref timeout = tavrin::optional_getattr(config.get(), s.n.timeout.get());
    const long workers = configured_workers(self);
    const bool timed = timeout && timeout.get() != Py_None;
    Ref tls = tavrin::optional_getattr(config.get(), s.n.tls.get());
    const bool use_tls = tls && tls_from(tls.get());
    if (!use_tls) warn_if_secure(config.get());
    Ref client;
    if (!use_tls && !timed && workers < 2) {
        client = call(minio_class.get(), {endpoint.get(), user.get(), password.get(), Py_False}, s.kw_minio.get());
    } else {
        Ref bundle = use_tls ? (tls.get() == Py_True ? default_ca_bundle() : tls) : Ref();
        Ref hostname = use_tls ? tunnel_target(config.get()) : Ref();
        // Each transfer thread holds a connection of its own while it works.
        Ref http = http_client(timed ? timeout.get() : s.library_timeout.get(), std::max(10L, workers),
                               bundle.get(), hostname.get());
        client = call(minio_class.get(), {endpoint.get(), user.get(), password.get(), use_tls ? Py_True : Py_False,
                                          http.get()},
                      s.kw_minio_http.get());
    }
    setattr(self, s.n._engine.get(), client);
    return Ref::borrow(Py_None);
}

}  // namespace

long workers_from(PyObject* value) {
    if (value == Py_None) return 1;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_ValueError, "workers must be an int from 1 to %d, not %.200s", kMaxWorkers,
                     Py_TYPE(value)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    int overflow = 0;
    const long workers = PyLong_AsLongAndOverflow(value, &overflow);
    if (workers == -1 && PyErr_Occurred()) throw tavrin::PyErrOccurred();
    if (overflow != 0 || workers < 1 || workers > kMaxWorkers) {
        PyErr_Format(PyExc_ValueError, "workers must be an int from 1 to %d, not %R", kMaxWorkers, value);
        throw tavrin::PyErrOccurred();
    }
    return workers;
}

long configured_workers(PyObject* self) {
    Ref value = configured(self, state().n.workers.get());
    return value ? workers_from(value.get()) : 1;
}

bool flag_from(PyObject* value, const char* key, bool when_none) {
    if (value == Py_None) return when_none;
    if (value == Py_True || value == Py_False) return value == Py_True;
    PyErr_Format(PyExc_ValueError, "%s must be True, False or None, not %.200s", key, Py_TYPE(value)->tp_name);
    throw tavrin::PyErrOccurred();
}

Ref configured(PyObject* self, PyObject* name) {
    // Optional: the configuration a tunnel returns need not carry it.
    Ref config = getattr(self, state().n._config.get());
    return tavrin::optional_getattr(config.get(), name);
}

PyMethodDef init_def = tavrin::method_def<2, kInit, init>("TavrinOstrel.__init__(self, config)");
PyMethodDef cleanse_params_def =
    tavrin::method_def<2, kCleanseParams, cleanse_params>("TavrinOstrel._cleanse_params(self, config)");
PyMethodDef set_params_dict_def =
    tavrin::method_def<1, kSetParamsDict, set_params_dict>("TavrinOstrel._set_params_dict(self)");
PyMethodDef set_default_params_def =
    tavrin::method_def<1, kSetDefaultParams, set_default_params>("TavrinOstrel._set_default_params(self)");
PyMethodDef connect_def = tavrin::method_def<1, kConnect, connect>("TavrinOstrel._connect(self)");

}  // namespace ostrel
