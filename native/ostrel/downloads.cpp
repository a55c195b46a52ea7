// Downloads: one object into memory as text, into a local file, or one
// folder level of objects into a local directory.
#include "downloads.hpp"

#include "config.hpp"
#include "digests.hpp"
#include "parts.hpp"
#include "progress.hpp"
#include "ranges.hpp"
#include "resume.hpp"
#include "retries.hpp"
#include "transfers.hpp"
#include "unchanged.hpp"
#include "verify.hpp"

#include <cstdint>
#include <limits>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// TavrinOstrel._download_flow(self, bucket_name, object_name)
//
// A body whose stream breaks, or whose bytes do not match the ETag the
// response names (checked before decoding, unless `verify` is off), is
// requested again (with_stream_retries); every response is closed, also when
// reading, checking or decoding it fails.
constexpr Signature<3> kDownloadFlow{"_download_flow", {"self", "bucket_name", "object_name"}, 3};
Ref download_flow(const Args<3>& a) {
    State& s = state();
    Ref client = engine(a[0]);
    const bool verify = configured_verify(a[0]);
    return with_stream_retries([&](long long&) {
        Ref response = call_method(client.get(), s.n.get_object.get(), {a[1], a[2]});
        Ref result;
        try {
            Ref body = getattr(response.get(), s.n.data.get());
            if (verify) {
                Ref headers = tavrin::optional_getattr(response.get(), s.n.headers.get());
                check_body(client.get(), a[1], a[2], headers.get(), body.get());
            }
            result = call_method(body.get(), s.n.decode.get(), {s.utf8.get()});
        } catch (const tavrin::PyErrOccurred&) {
            close_and_reraise(response.get());
        }
        call_method(response.get(), s.n.close.get(), {});
        return result;
    });
}

// Checks the file the client library's download wrote at `target` against
// the object its returned `stat` describes; a file that does not match is
// removed, and IntegrityError raised. So is one whose check fails. Returns
// the ETag the file was checked against (empty: it could not be).
Ref check_fetched(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target, PyObject* stat) {
    const Expected expected = Expected::of_stat(stat);
    if (!expected) return Ref();
    Ref size = getattr(stat, state().n.size.get());
    if (!PyLong_Check(size.get())) return Ref();
    Ref computed;
    Verdict verdict;
    try {
        verdict = judge_file(client, bucket_name, object_name, expected, target, tavrin::as_long_long(size.get()),
                             computed);
    } catch (const tavrin::PyErrOccurred&) {
        remove_file(target);
        throw;
    }
    if (verdict == Verdict::kMismatch) {
        remove_file(target);
        raise_integrity_error(bucket_name, object_name, expected, computed.get());
    }
    return Ref::borrow(expected.etag());
}

}  // namespace

Ref fetch_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
               const Progress& progress, bool verify) {
    State& s = state();
    Ref hook = progress ? progress.hook(object_name) : Ref();
    PartFile part;  // what a broken attempt left to go on from
    Ref checked;    // the ETag the target was checked against
    try {
        with_stream_retries([&](long long& written) {
            if (part) {
                Ref etag = Ref::borrow(part.etag());
                part.go_on(client, bucket_name, object_name, target, hook.get(), verify, written);
                if (verify) checked = std::move(etag);
                return Ref();
            }
            const std::int64_t started = now_ns();
            Ref stat;
            try {
                if (hook) {
                    stat = call_method(client, s.n.fget_object.get(), {bucket_name, object_name, target, hook.get()},
                                       s.kw_progress.get());
                } else {
                    stat = call_method(client, s.n.fget_object.get(), {bucket_name, object_name, target});
                }
            } catch (const tavrin::PyErrOccurred&) {
                bool broken;
                {
                    tavrin::PendingError error;
                    broken = broken_stream(error);
                    error.restore();
                }
                // A part file worth going on from is kept; any other is removed.
                part = PartFile::left_by(target, started,
                                         broken ? kResumeMinimum : std::numeric_limits<long long>::max());
                written = part.size();
                throw;
            }
            if (verify) checked = check_fetched(client, bucket_name, object_name, target, stat.get());
            return Ref();
        });
    } catch (const tavrin::PyErrOccurred&) {
        part.remove();
        throw;
    }
    return checked;
}

bool unsafe_file_name(PyObject* name) {
    State& s = state();
    if (require(PyObject_RichCompareBool(name, s.dot.get(), Py_EQ)) ||
        require(PyObject_RichCompareBool(name, s.dot_dot.get(), Py_EQ))) {
        return true;
    }
    Ref os = global(s.n.os.get());
    for (PyObject* attribute : {s.n.sep.get(), s.n.altsep.get()}) {
        Ref separator = getattr(os.get(), attribute);
        if (separator.get() != Py_None && tavrin::contains(name, separator.get())) return true;
    }
    Ref os_name = getattr(os.get(), s.n.name.get());
    if (!require(PyObject_RichCompareBool(os_name.get(), s.nt.get(), Py_EQ))) return false;
    if (tavrin::contains(name, s.colon.get())) return true;
    Ref last = require(PyObject_GetItem(name, s.last_index.get()));
    for (PyObject* dropped : {s.dot.get(), s.space.get()}) {
        if (require(PyObject_RichCompareBool(last.get(), dropped, Py_EQ))) return true;
    }
    Ref path = getattr(os.get(), s.n.path.get());
    Ref is_reserved = tavrin::optional_getattr(path.get(), s.n.isreserved.get());
    return is_reserved && tavrin::truth(tavrin::call(is_reserved.get(), {name}));
}

void fetch_listed_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
                       PyObject* etag, const Progress& progress, bool verify) {
    Ref hook = progress ? progress.hook(object_name) : Ref();
    PartFile part;
    bool started = false;
    try {
        with_stream_retries([&](long long& written) {
            // A part file whose content did not match was removed: start again from byte 0.
            if (!part) {
                if (hook && started) restart_hook(hook.get());
                part = PartFile::start(target, etag);
                started = true;
            }
            part.go_on(client, bucket_name, object_name, target, hook.get(), verify, written);
            return Ref();
        });
    } catch (const tavrin::PyErrOccurred&) {
        part.remove();
        throw;
    }
}

namespace {

// TavrinOstrel._download_file(self, bucket_name, object_name, file_name)
//
// The client library's file download (fetch_file), checked against the
// object's ETag unless `verify` is off. With `workers` of 2 or
// more, the object's size is asked for first, and a big object is fetched
// by ranges on that many threads instead.
constexpr Signature<4> kDownloadFile{"_download_file", {"self", "bucket_name", "object_name", "file_name"}, 4};
Ref download_file(const Args<4>& a) {
    State& s = state();
    ProgressCall reporting(a[0], s.n.download_file.get(), a[2], 1);
    const Progress& progress = reporting.progress();
    with_progress(reporting, [&] {
        Ref client = engine(a[0]);
        if (configured_workers(a[0]) >= 2) {
            if (Ref target = ranged_target(a[3])) {
                Ref stat = call_method(client.get(), s.n.stat_object.get(), {a[1], a[2]});
                Ref size = getattr(stat.get(), s.n.size.get());
                if (PyLong_Check(size.get()) && PyLong_AsLongLong(size.get()) >= kPartedMinimum) {
                    download_ranges(a[0], client.get(), a[1], a[2], target, stat.get(), progress);
                    if (reporting.owner()) progress.file_done(a[2]);
                    return;
                }
                if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
            }
        }
        Ref checked = fetch_file(client.get(), a[1], a[2], a[3], progress, configured_verify(a[0]));
        if (checked) {
            Digests(a[0]).written(a[3], checked.get());
            if (!Transfers::on_transfer_thread()) Digests::flush(a[0]);
        }
        if (reporting.owner()) progress.file_done(a[2]);
    });
    return Ref::borrow(Py_True);
}

// value, or the text of value followed by "/" when it does not end in "/".
Ref with_trailing_slash(PyObject* value) {
    State& s = state();
    Ref last = require(PyObject_GetItem(value, s.last_index.get()));
    if (require(PyObject_RichCompareBool(last.get(), s.slash.get(), Py_NE)) == 0) return Ref::borrow(value);
    Ref text = require(PyObject_Format(value, s.empty.get()));
    return require(PyUnicode_Concat(text.get(), s.slash.get()));
}

// TavrinOstrel._download_dir(self, bucket_name, object_path, dir_path)
//
// Downloads the objects that lie directly in the folder `object_path`: names
// that start with the folder's prefix and go no deeper. The folder marker
// (the prefix itself) and deeper objects are skipped; a name that would be
// written outside `dir_path` or onto a directory is skipped with a warning.
// Unless the listing is overridden, only the folder itself is listed (deeper
// folders come back as names ending in "/"); an override gets the whole
// bucket's records, as it always has.
//
// With progress, a top-level call takes its totals from the listing. With
// skip_unchanged, an object whose target is a regular file holding its
// content (by the listing's size and ETag) is left alone.
constexpr Signature<4> kDownloadDir{"_download_dir", {"self", "bucket_name", "object_path", "dir_path"}, 4};
Ref download_dir(const Args<4>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    ProgressCall reporting(self, s.n.download_dir.get(), a[2], 0);
    const Progress& progress = reporting.progress();
    with_progress(reporting, [&] {
        Ref object_path = with_trailing_slash(a[2]);
        Ref dir_path = with_trailing_slash(a[3]);
        const Py_ssize_t prefix_length = require(PyObject_Length(object_path.get()));
        Ref listing = getattr(self, s.n._bucket_list_files.get());
        const bool folder_only =
            PyUnicode_Check(object_path.get()) && own_method(self, listing.get(), s.bucket_list_files_function);
        Ref records;
        if (folder_only) {
            records = call_method(engine(self).get(), s.n.list_objects.get(),
                                  {bucket_name, object_path.get(), Py_False}, s.kw_list_objects.get());
        } else {
            records = tavrin::call(listing.get(), {bucket_name});
        }
        // A value of a listing entry: an object's attribute, or a record's entry.
        auto field = [&](PyObject* entry, PyObject* name) {
            return folder_only ? getattr(entry, name) : call_method(entry, s.n.get.get(), {name});
        };
        // The file name of a selected object, or empty. An unsafe name is
        // reported when `warn` is set.
        auto selected = [&](PyObject* object_name, bool warn) {
            if (!tavrin::truth(call_method(object_name, s.n.startswith.get(), {object_path.get()}))) return Ref();
            Ref file_name = require(PySequence_GetSlice(object_name, prefix_length, PY_SSIZE_T_MAX));
            if (!tavrin::truth(file_name) || tavrin::contains(file_name.get(), s.slash.get())) return Ref();
            if (unsafe_file_name(file_name.get())) {
                if (warn) warn_about(self, s.msg_unsafe_name.get(), object_name);
                return Ref();
            }
            return file_name;
        };
        if (reporting.owner()) {
            records = require(PySequence_List(records.get()));
            long long files = 0;
            long long bytes = 0;
            tavrin::for_each(records.get(), [&](Ref entry) {
                if (!selected(field(entry.get(), s.n.object_name.get()).get(), false)) return;
                ++files;
                Ref size = field(entry.get(), s.n.size.get());
                if (!PyLong_Check(size.get())) return;
                bytes += PyLong_AsLongLong(size.get());
                if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
            });
            reporting.begin(files, bytes);
        }
        const bool skip = configured_skip_unchanged(self);
        const bool own_download =
            own_method(self, getattr(self, s.n._download_file.get()).get(), s.download_file_function);
        with_transfers(self, [&](Transfers& transfers) {
            tavrin::for_each(records.get(), [&](Ref entry) {
                Ref object_name = field(entry.get(), s.n.object_name.get());
                Ref file_name = selected(object_name.get(), true);
                if (!file_name) return;
                Ref path = getattr(global(s.n.os.get()).get(), s.n.path.get());
                Ref target = call_method(path.get(), s.n.join.get(), {dir_path.get(), file_name.get()});
                ObjectTransfer object{s.n._download_file.get(), Ref::borrow(bucket_name), object_name, target,
                                      Ref(), Ref(), Ref(), false};
                if (skip) {
                    object.size = field(entry.get(), s.n.size.get());
                    object.etag = field(entry.get(), s.n.etag.get());
                }
                std::unique_ptr<Task> direct;
                if (own_download && transfers.pooled()) {
                    // The listing gives the size: big objects go by ranges with no request more.
                    Ref size = folder_only ? getattr(entry.get(), s.n.size.get()) : Ref::borrow(Py_None);
                    direct = object_download(self, bucket_name, object_name.get(), target.get(), size.get(), progress);
                }
                transfer_object(transfers, self, progress, std::move(object), std::move(direct));
            });
        });
    });
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef download_flow_def = tavrin::method_def<3, kDownloadFlow, download_flow>(
    "TavrinOstrel._download_flow(self, bucket_name, object_name)");
PyMethodDef download_file_def = tavrin::method_def<4, kDownloadFile, download_file>(
    "TavrinOstrel._download_file(self, bucket_name, object_name, file_name)");
PyMethodDef download_dir_def = tavrin::method_def<4, kDownloadDir, download_dir>(
    "TavrinOstrel._download_dir(self, bucket_name, object_path, dir_path)");

}  // namespace ostrel
