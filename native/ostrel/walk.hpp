// Both sides of a tree transfer at every depth (walk.cpp): the local folder,
// walked once, and the objects under a prefix, listed once (recursively, in
// the client library's pages). Excluded paths are left out of both: an
// excluded folder is not walked, and nothing under it is listed. Called with
// the GIL.
#pragma once

#include "filters.hpp"
#include "ostrel.hpp"

#include <string>
#include <vector>

namespace ostrel {

// One entry of a local walk.
struct LocalEntry {
    enum Kind { file, folder, link };
    Ref relative;           // str, "/"-separated, relative to the walked folder
    std::u32string points;  // the same as code points
    Ref path;               // the local path (os.path.join of the folder and the names)
    long long size = 0;     // st_size: by os.stat (uploads), os.lstat (a download's target)
    Kind kind = file;
};

// The files under `dir_path` at every depth, in name order within each
// folder, for an upload: links followed as _upload_dir follows them (a
// link to a folder is walked; a link back into a folder the walk is inside,
// and a link whose target does not exist, are skipped with _upload_dir's
// warnings and their paths added to `skipped`); anything else that is not a
// folder counts as a file. Folders are not listed.
std::vector<LocalEntry> walk_upload(PyObject* self, PyObject* dir_path, const Filter& filter, std::vector<Ref>& skipped);

// True when `path` is a link whose target cannot be reached (missing, or a
// loop of links): os.path.isfile, then os.path.islink and os.path.exists.
bool dangling_link(PyObject* path);

// Every entry under `dir_path` for a download's comparison and deletion:
// links are not followed (a link, to a file or a folder, is an entry of its
// own, never walked), folders are listed before what they hold. Nothing
// when `dir_path` does not exist.
std::vector<LocalEntry> walk_target(PyObject* dir_path, const Filter& filter);

// "prefix/" for a folder named with or without its trailing "/"; "" stays "".
Ref folder_prefix(PyObject* prefix);

// One listed object.
struct RemoteEntry {
    Ref name;               // the object name
    Ref relative;           // the name after the prefix
    std::u32string points;  // relative as code points
    Ref size;
    Ref etag;
};

// The objects under `prefix` (from folder_prefix), at every depth, in
// listing order: one list_objects(bucket_name=, prefix=, recursive=True)
// request, whose pages the client library fetches as the listing is read.
// Objects whose relative name `filter` excludes are left out (as files, or
// as folders for names ending in "/"); narrowed to a wildcard, the request
// lists `prefix` and the filter's listing head, and only what the wildcard
// selects is kept.
std::vector<RemoteEntry> list_tree(PyObject* self, PyObject* bucket_name, PyObject* prefix, const Filter& filter);

}  // namespace ostrel
