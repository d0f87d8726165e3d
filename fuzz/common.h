// Shared by the fuzz targets: streams over the fuzzer's bytes, what a
// writer wrote, the spool files that an input made, and plain reference
// models.
#ifndef OSTREL_FUZZ_COMMON_H
#define OSTREL_FUZZ_COMMON_H

#include "cgi/cgi.h"
#include "cgi/internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace fuzz {

// Stops the fuzzer with a message; libFuzzer saves the input that did it.
#define FUZZ_CHECK(cond, ...)                                                                                          \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "invariant broken: %s: ", #cond);                                                     \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fputc('\n', stderr);                                                                                  \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// Every file that the library made with mkstemp since the last take().
inline std::vector<std::string> &made_files()
{
    static std::vector<std::string> files;
    return files;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Spool files left behind: none of the files made for one input may outlive
// its release.  Other processes' spool files are never looked at.
inline void check_no_spool_left(const char *when)
{
    for (const auto &f : made_files())
        FUZZ_CHECK(!exists(f), "%s: %s left behind", when, f.c_str());
    made_files().clear();
}

// A stream over the given bytes (all of them, NUL bytes included), with a
// buffer of `buffer` bytes (0: the default), for the readers' entry points
// that take one.
class Input {
public:
    Input(const uint8_t *data, size_t size, size_t buffer = 0) : copy_(reinterpret_cast<const char *>(data), size)
    {
        file_ = size ? fmemopen(&copy_[0], size, "r") : std::fopen("/dev/null", "r");
        if (!file_)
            std::abort();
        if (buffer)
            setvbuf(file_, nullptr, _IOFBF, buffer);
    }
    ~Input() { std::fclose(file_); }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    FILE *get() const { return file_; }

private:
    std::string copy_;
    FILE *file_;
};

// What fn wrote to a stream of its own.
template <class Fn> std::string written(Fn fn)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    if (!out)
        std::abort();
    fn(out);
    std::fclose(out);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// Splits the bytes at `sep`.
inline std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}

inline std::string c_string(const std::string &s) { return s.substr(0, s.find('\0')); }

inline int hex(unsigned char c)
{
    const char *digits = "0123456789abcdef0123456789ABCDEF";
    const char *p = c ? std::strchr(digits, c) : nullptr;
    return p ? static_cast<int>(p - digits) % 16 : -1;
}

// Percent-decoding as a model: every byte the decoded text holds, NUL bytes
// included.
inline std::string decoded(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '%') {
            out += s[i];
        } else if (i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        }
    }
    return out;
}

// The URL-encoded variables of a text, as a plain model: "+" is a blank, pairs
// are split at "&", and at ";" behind the last "&"; names and values are
// decoded and end at a decoded NUL; a repeated name joins its values with LF.
inline std::vector<std::pair<std::string, std::string>> form_model(std::string text)
{
    for (auto &c : text)
        if (c == '+')
            c = ' ';
    std::vector<std::string> pairs = split(text, '&');
    std::string last = pairs.back();
    pairs.pop_back();
    for (const auto &p : split(last, ';'))
        pairs.push_back(p);
    std::vector<std::pair<std::string, std::string>> vars;
    for (const auto &p : pairs) {
        size_t eq = p.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = c_string(decoded(p.substr(0, eq)));
        std::string value = c_string(decoded(p.substr(eq + 1)));
        bool found = false;
        for (auto &v : vars)
            if (v.first == name) {
                v.second += "\n" + value;
                found = true;
                break;
            }
        if (!found)
            vars.emplace_back(name, value);
    }
    return vars;
}

// Frees a list the library handed out through the release of a request.
inline void release_cookies(cgi_cookie **list)
{
    cgi_request *req = static_cast<cgi_request *>(std::calloc(1, sizeof *req));
    if (!req)
        std::abort();
    req->cookies = list;
    cgi_free_request(req);
}

} // namespace fuzz

// Records the spool files the library makes; the real mkstemp makes them.
extern "C" int mkstemp(char *tmpl)
{
    using fn = int (*)(char *);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "mkstemp"));
    int fd = real(tmpl);
    if (fd >= 0)
        fuzz::made_files().push_back(tmpl);
    return fd;
}

#endif
