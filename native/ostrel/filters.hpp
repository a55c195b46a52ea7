// Exclude patterns of the tree transfers (filters.cpp). A pattern matches a
// path relative to the transfer's folder, "/"-separated:
// - with no "/" in it, any one component (a file or folder name) at any depth;
// - with a "/" in it (a leading one allowed), the whole relative path;
// - with a trailing "/", folders only.
// "*" and "?" never match "/", "**" matches across it ("**/" also matches
// nothing, so "a/**/b" matches "a/b"), and "[...]" works as in fnmatch
// (never matching "/"). Called with the GIL.
//
// Include patterns (the `filters` pairs) work as aws orders them: the last
// pattern that matches a file, or a folder above it, decides. Once any is
// given, every file is decided by its whole path and no folder is pruned;
// without one, an excluded folder is never walked.
//
// A wildcard source ("p/*.csv") selects the objects whose whole name below
// its folder ("p/") the pattern after that folder matches, from one listing
// of the longest literal prefix ("p/"; "logs/2026-" for "logs/2026-*").
#pragma once

#include "ostrel.hpp"

#include <string>
#include <vector>

namespace ostrel {

// A path or name as code points.
std::u32string code_points(PyObject* text);

class Filter {
public:
    // The patterns of an iterable of str; None or an empty iterable excludes
    // nothing. TypeError for an item that is not a str, ValueError for an
    // empty pattern (or "/" alone), both naming `exclude`.
    static Filter from(PyObject* patterns);

    // The same, then the ("exclude" | "include", pattern) pairs of `filters`
    // in order (None: none); TypeError or ValueError naming `filters`.
    static Filter from(PyObject* patterns, PyObject* filters);

    // Narrows to the wildcard `text` (a name below a bucket's root holding
    // "*", "?" or "["): returns its folder ("" or ending in "/"), the
    // listing's prefix below it goes to listing_head().
    Ref select_wildcard(PyObject* text);

    // What to list below the folder: "" unless narrowed to a wildcard.
    Ref listing_head() const;

    // True when the wildcard, if any, selects `path` (relative to its folder).
    bool selects(const std::u32string& path) const;

    bool empty() const noexcept { return patterns_.empty(); }

    // True when `path` (relative, no leading "/") is excluded as itself: a
    // folder when `folder`.
    bool excludes(const std::u32string& path, bool folder) const;

    // True when `path` or any folder above it is excluded: what lies under
    // an excluded folder is excluded with it. `folder`: the path names a folder.
    bool excludes_within(const std::u32string& path, bool folder) const;

    struct Token {
        enum Kind { literal, one, star, any, any_folders, set } kind;
        char32_t c = 0;               // literal
        std::u32string members;       // set: single characters, then ranges as pairs
        std::size_t singles = 0;      // set: how many of members are single characters
        bool negated = false;         // set
    };
    struct Pattern {
        std::vector<Token> tokens;
        bool anchored = false;     // matched against the whole relative path
        bool folder_only = false;  // a trailing "/"
        bool include = false;      // an include pattern (`filters`)
    };

private:
    void add(PyObject* item, bool include, const char* argument);
    bool matches_within(const Pattern& pattern, const std::u32string& path, bool folder) const;
    // The decision of the last pattern that matches the path or a folder above it.
    bool decides_excluded(const std::u32string& path, bool folder) const;

    std::vector<Pattern> patterns_;
    bool whole_paths_ = false;  // an include pattern was given
    bool selecting_ = false;    // narrowed to a wildcard
    std::vector<Token> selection_;
    std::u32string head_;
};

}  // namespace ostrel
