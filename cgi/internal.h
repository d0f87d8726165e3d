// Helpers shared by the library's source files; not part of the public API.
#ifndef OSTREL_INTERNAL_H
#define OSTREL_INTERNAL_H

#include "cgi/cgi.h"

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace ostrel {

struct Free {
    void operator()(void *p) const { std::free(p); }
};
// Owns a malloc'd block until it is handed out with release().
template <class T> using Owned = std::unique_ptr<T, Free>;

// New NUL-terminated copy of n bytes; null when memory runs out.
char *copy_bytes(const char *s, size_t n);
char *copy_string(const char *s);

// Release of list entries, shared by the readers' failure paths and
// cgi_free_request.  free_upload also deletes the spool file.
void free_var(cgi_var *v);
void free_upload(cgi_upload *u);
void free_cookies(cgi_cookie **list);

// Response state (content type and header lines) back to unset.
void reset_response_state();

// Capacity of the line reader's process-wide buffer, for tests.
size_t line_buffer_capacity();

// Bytes of `s` before its first CR or LF.
size_t line_length(const char *s);

} // namespace ostrel

#endif
