// Exclude patterns of the tree transfers (filters.cpp). A pattern matches a
// path relative to the transfer's folder, "/"-separated:
// - with no "/" in it, any one component (a file or folder name) at any depth;
// - with a "/" in it (a leading one allowed), the whole relative path;
// - with a trailing "/", folders only.
// "*" and "?" never match "/", "**" matches across it ("**/" also matches
// nothing, so "a/**/b" matches "a/b"), and "[...]" works as in fnmatch
// (never matching "/"). Called with the GIL.
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
    };

private:
    std::vector<Pattern> patterns_;
};

}  // namespace ostrel
