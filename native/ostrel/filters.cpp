// Exclude patterns: compiled once per call into tokens, matched by dynamic
// programming over (token, position), so "*" and "**" never backtrack
// exponentially.
#include "filters.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel {

namespace {

using Token = Filter::Token;
using Pattern = Filter::Pattern;

constexpr char32_t kSlash = U'/';

// The set "[...]" starting at pattern[open] ('['), as fnmatch reads it: "!"
// first negates, a "]" right after the opening (or after "!") is a member,
// "a-z" is a range. False when no "]" closes it: the "[" is then literal.
bool parse_set(const std::u32string& pattern, std::size_t open, Token& token, std::size_t& end) {
    std::size_t i = open + 1;
    token.kind = Token::set;
    if (i < pattern.size() && pattern[i] == U'!') {
        token.negated = true;
        ++i;
    }
    const std::size_t first = i;
    std::u32string singles, ranges;
    for (; i < pattern.size(); ++i) {
        const char32_t c = pattern[i];
        if (c == U']' && i > first) break;
        if (i + 2 < pattern.size() && pattern[i + 1] == U'-' && pattern[i + 2] != U']') {
            if (c <= pattern[i + 2]) {  // fnmatch drops a reversed range
                ranges.push_back(c);
                ranges.push_back(pattern[i + 2]);
            }
            i += 2;
        } else {
            singles.push_back(c);
        }
    }
    if (i >= pattern.size()) return false;
    token.singles = singles.size();
    token.members = singles + ranges;
    end = i + 1;
    return true;
}

bool in_set(const Token& token, char32_t c) {
    bool found = false;
    for (std::size_t i = 0; i < token.singles && !found; ++i) found = token.members[i] == c;
    for (std::size_t i = token.singles; i + 1 < token.members.size() && !found; i += 2) {
        found = token.members[i] <= c && c <= token.members[i + 1];
    }
    return found != token.negated;
}

std::vector<Token> tokenize(const std::u32string& pattern) {
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < pattern.size();) {
        const char32_t c = pattern[i];
        Token token{};
        if (c == U'*') {
            std::size_t stars = 0;
            while (i < pattern.size() && pattern[i] == U'*') ++stars, ++i;
            const bool component_start = tokens.empty() || (tokens.back().kind == Token::literal && tokens.back().c == kSlash);
            if (stars >= 2 && component_start && i < pattern.size() && pattern[i] == kSlash) {
                token.kind = Token::any_folders;
                ++i;
            } else {
                token.kind = stars >= 2 ? Token::any : Token::star;
            }
        } else if (c == U'?') {
            token.kind = Token::one;
            ++i;
        } else if (c == U'[' && parse_set(pattern, i, token, i)) {
        } else {
            token = Token{};
            token.kind = Token::literal;
            token.c = c;
            ++i;
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

// True when `tokens` match all of `text`.
bool matches(const std::vector<Token>& tokens, const std::u32string& text) {
    const std::size_t n = text.size();
    // next[j]: the tokens after the current one match text[j:].
    std::vector<char> next(n + 1, 0), row(n + 1, 0);
    next[n] = 1;
    for (std::size_t t = tokens.size(); t-- > 0;) {
        const Token& token = tokens[t];
        switch (token.kind) {
            case Token::star:
            case Token::any:
                row[n] = next[n];
                for (std::size_t j = n; j-- > 0;) {
                    const bool step = (token.kind == Token::any || text[j] != kSlash) && row[j + 1];
                    row[j] = next[j] || step;
                }
                break;
            case Token::any_folders: {
                // "" or any text ending in "/".
                char reach = 0;  // some k > j with text[k-1] == "/" and next[k]
                row[n] = next[n];
                for (std::size_t j = n; j-- > 0;) {
                    if (text[j] == kSlash && next[j + 1]) reach = 1;
                    row[j] = next[j] || reach;
                }
                break;
            }
            default:
                row[n] = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    const char32_t c = text[j];
                    bool ok;
                    if (token.kind == Token::literal) {
                        ok = c == token.c;
                    } else if (token.kind == Token::one) {
                        ok = c != kSlash;
                    } else {
                        ok = c != kSlash && in_set(token, c);
                    }
                    row[j] = ok && next[j + 1];
                }
        }
        next.swap(row);
    }
    return next[0] != 0;
}

[[noreturn]] void bad_pattern(PyObject* item, const char* argument) {
    if (PyUnicode_Check(item)) {
        PyErr_Format(PyExc_ValueError, "%s patterns must not be empty, not %R", argument, item);
    } else {
        PyErr_Format(PyExc_TypeError, "%s patterns must be str, not %.200s", argument, Py_TYPE(item)->tp_name);
    }
    throw tavrin::PyErrOccurred();
}

bool is_wildcard(char32_t c) { return c == U'*' || c == U'?' || c == U'['; }

Ref text_of(const std::u32string& points) {
    return tavrin::require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(),
                                                     static_cast<Py_ssize_t>(points.size())));
}

// True when the pair ("exclude" | "include", pattern) is an include; raises
// for anything else.
bool include_pair(PyObject* pair, PyObject*& pattern) {
    const char* kind = nullptr;
    if (PyTuple_Check(pair) && PyTuple_GET_SIZE(pair) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(pair, 0))) {
        kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(pair, 0));
        if (kind == nullptr) throw tavrin::PyErrOccurred();
    }
    const bool include = kind != nullptr && std::string(kind) == "include";
    if (!include && (kind == nullptr || std::string(kind) != "exclude")) {
        PyErr_Format(PyExc_ValueError, "filters must be (\"exclude\" or \"include\", pattern) pairs, not %R", pair);
        throw tavrin::PyErrOccurred();
    }
    pattern = PyTuple_GET_ITEM(pair, 1);
    return include;
}

}  // namespace

std::u32string code_points(PyObject* text) {
    const Py_ssize_t length = tavrin::require(PyUnicode_GetLength(text));
    std::u32string result(static_cast<std::size_t>(length), U'\0');
    if (length > 0 &&
        PyUnicode_AsUCS4(text, reinterpret_cast<Py_UCS4*>(&result[0]), length, 0) == nullptr) {
        throw tavrin::PyErrOccurred();
    }
    return result;
}

void Filter::add(PyObject* item, bool include, const char* argument) {
    if (!PyUnicode_Check(item)) bad_pattern(item, argument);
    std::u32string text = code_points(item);
    Pattern pattern;
    pattern.include = include;
    if (!text.empty() && text.back() == kSlash) {
        pattern.folder_only = true;
        text.pop_back();
    }
    if (!text.empty() && text.front() == kSlash) {
        pattern.anchored = true;
        text.erase(0, 1);
    }
    if (text.empty()) bad_pattern(item, argument);
    if (text.find(kSlash) != std::u32string::npos) pattern.anchored = true;
    pattern.tokens = tokenize(text);
    whole_paths_ = whole_paths_ || include;
    patterns_.push_back(std::move(pattern));
}

Filter Filter::from(PyObject* patterns) {
    Filter filter;
    if (patterns == nullptr || patterns == Py_None) return filter;
    if (PyUnicode_Check(patterns)) {  // a lone str would be taken letter by letter
        PyErr_SetString(PyExc_TypeError, "exclude must be an iterable of str patterns, not a str");
        throw tavrin::PyErrOccurred();
    }
    tavrin::for_each(patterns, [&](Ref item) { filter.add(item.get(), false, "exclude"); });
    return filter;
}

Filter Filter::from(PyObject* patterns, PyObject* filters) {
    Filter filter = from(patterns);
    if (filters == nullptr || filters == Py_None) return filter;
    if (PyUnicode_Check(filters)) {
        PyErr_SetString(PyExc_TypeError, "filters must be an iterable of (kind, pattern) pairs, not a str");
        throw tavrin::PyErrOccurred();
    }
    tavrin::for_each(filters, [&](Ref pair) {
        PyObject* pattern = nullptr;
        const bool include = include_pair(pair.get(), pattern);
        filter.add(pattern, include, "filters");
    });
    return filter;
}

Ref Filter::select_wildcard(PyObject* text) {
    const std::u32string points = code_points(text);
    std::size_t first = 0;
    while (first < points.size() && !is_wildcard(points[first])) ++first;
    const std::size_t folder = points.rfind(kSlash, first) == std::u32string::npos ? 0 : points.rfind(kSlash, first) + 1;
    selecting_ = true;
    selection_ = tokenize(points.substr(folder));
    head_ = points.substr(folder, first - folder);
    return text_of(points.substr(0, folder));
}

Ref Filter::listing_head() const { return text_of(head_); }

bool Filter::selects(const std::u32string& path) const { return !selecting_ || matches(selection_, path); }

bool Filter::matches_within(const Pattern& pattern, const std::u32string& path, bool folder) const {
    const auto one = [&](const std::u32string& part, bool is_folder) {
        if (pattern.folder_only && !is_folder) return false;
        const std::size_t slash = part.rfind(kSlash);
        return matches(pattern.tokens, pattern.anchored || slash == std::u32string::npos ? part : part.substr(slash + 1));
    };
    for (std::size_t slash = path.find(kSlash); slash != std::u32string::npos; slash = path.find(kSlash, slash + 1)) {
        if (one(path.substr(0, slash), true)) return true;
    }
    return one(path, folder);
}

bool Filter::decides_excluded(const std::u32string& path, bool folder) const {
    bool excluded = false;
    for (const Pattern& pattern : patterns_) {
        if (matches_within(pattern, path, folder)) excluded = !pattern.include;
    }
    return excluded;
}

bool Filter::excludes(const std::u32string& path, bool folder) const {
    if (whole_paths_) return !folder && decides_excluded(path, false);
    const std::size_t slash = path.rfind(kSlash);
    const std::u32string name = slash == std::u32string::npos ? path : path.substr(slash + 1);
    for (const Pattern& pattern : patterns_) {
        if (pattern.folder_only && !folder) continue;
        if (matches(pattern.tokens, pattern.anchored ? path : name)) return true;
    }
    return false;
}

bool Filter::excludes_within(const std::u32string& path, bool folder) const {
    if (patterns_.empty()) return false;
    if (whole_paths_) return decides_excluded(path, folder);
    for (std::size_t slash = path.find(kSlash); slash != std::u32string::npos; slash = path.find(kSlash, slash + 1)) {
        if (excludes(path.substr(0, slash), true)) return true;
    }
    return excludes(path, folder);
}

}  // namespace ostrel
