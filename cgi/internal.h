// Helpers shared by the library's source files; not part of the public API.
#ifndef OSTREL_INTERNAL_H
#define OSTREL_INTERNAL_H

#include "cgi/cgi.h"
#include "cgi/input.h"
#include "cgi/stream.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace ostrel {

struct Free {
    void operator()(void *p) const { std::free(p); }
};
// Owns a malloc'd block until it is handed out with release().
template <class T> using Owned = std::unique_ptr<T, Free>;

// Says at level 1 that memory for `what` ran out, and gives null, so that a
// failed allocation is never silent: "return out_of_memory("...");".
std::nullptr_t out_of_memory(const char *what);

// New NUL-terminated copy of n bytes; null when memory runs out.
char *copy_bytes(const char *s, size_t n);
char *copy_string(const char *s);

// Release of list entries and whole lists, shared by the readers' failure
// paths and cgi_free_request.  free_upload also deletes the spool file.
void free_var(cgi_var *v);
void free_upload(cgi_upload *u);
void free_vars(cgi_var **list);
void free_uploads(cgi_upload **list);
void free_cookies(cgi_cookie **list);
// One cookie record; its version is kept when it is the shared one.
void free_cookie(cgi_cookie *c, const char *shared_version);

// A null-terminated list of pointers being built, the shape of every list
// in a request.  It grows by half (at first to 4 slots), so that a long
// list costs linear time under any allocator; whatever it still holds when
// destroyed goes to Release (entries, then the list).
template <class T, void (*Release)(T **)> class PtrList {
public:
    PtrList() = default;
    PtrList(const PtrList &) = delete;
    PtrList &operator=(const PtrList &) = delete;
    ~PtrList() { Release(list_); }

    size_t count() const { return count_; }
    size_t slots() const { return slots_; }
    T *at(size_t i) const { return list_[i]; }
    bool allocated() const { return list_ != nullptr; }

    // Room for one more entry and the null behind it; false when memory
    // runs out or the size would overflow.
    bool reserve()
    {
        if (count_ + 2 <= slots_)
            return true;
        size_t slots = slots_ < 4 ? 4 : slots_ + slots_ / 2;
        if (slots > SIZE_MAX / sizeof(T *))
            return false;
        void *grown = std::realloc(list_, slots * sizeof(T *));
        if (!grown) {
            out_of_memory("a longer list");
            return false;
        }
        list_ = static_cast<T **>(grown);
        for (size_t i = count_; i < slots; i++)
            list_[i] = nullptr;
        slots_ = slots;
        return true;
    }
    // Takes over the entry; on false (no memory) it stays the caller's.
    bool append(T *entry)
    {
        if (!reserve())
            return false;
        list_[count_++] = entry;
        return true;
    }
    // Hands out the list (null when nothing was ever allocated).
    T **take()
    {
        T **list = list_;
        list_ = nullptr;
        count_ = slots_ = 0;
        return list;
    }

private:
    T **list_ = nullptr;
    size_t count_ = 0, slots_ = 0;
};

// The variables index's hash of a name (cgi/hash.cpp): keyed per process,
// from the kernel's random bytes where it has them, so that names colliding
// in the index cannot be prepared.  The key is made on the first call.
unsigned hash_name(const char *name);
// Where this process's key came from: "getauxval" (AT_RANDOM), "getrandom",
// "urandom" or "clock"; null before the first hash.  For the tests.
const char *hash_key_source();

// The variables list that the form and multipart readers build: entries in
// order of first appearance, names unique, found through a hash index, and
// values that grow in amortised steps when a repeated name extends them.
// Whatever is still held when it is destroyed is released.
class VarList {
public:
    // At most limits->fields names, each name and value at most
    // limits->value_bytes long; none: no bounds.
    explicit VarList(const cgi_limits *limits = nullptr) : limits_(limits) {}
    VarList(const VarList &) = delete;
    VarList &operator=(const VarList &) = delete;
    ~VarList();

    size_t count() const { return vars_.count(); }
    cgi_var *at(size_t i) const { return vars_.at(i); }
    // Index of the variable called exactly `name`, or -1.
    long find(const char *name) const;
    // The one way a reader stores a value: a variable called `name` gets
    // it, or, when there is one already, LF and `text` appended.  A new
    // variable takes over `name` (then reset) and a copy of `text`, decoded
    // when `decode` is set.  The variable's index, or -1 when memory ran out
    // or a limit was reached (refusal() tells; then nothing changed).
    long put(Owned<char> &name, const char *text, bool decode);
    // Adds a variable that takes over the malloc'd name and value; on false
    // (out of memory) they still belong to the caller.
    bool add(char *name, char *value);
    // Appends sep and then n bytes of text to a value; on false (out of
    // memory, or the value would pass its limit) the value is unchanged.
    bool append(size_t i, const char *sep, const char *text, size_t n);
    // The limit that a put or append was refused at, or CGI_ACCEPTED.
    int refusal() const { return refusal_; }
    // Hands out the null-terminated list (null when nothing was added).
    cgi_var **release();

private:
    // A slot of the hash index: entry + 1 (0 for a free slot) and the
    // name's hash, so that probing and rebuilding seldom touch the names.
    struct Slot {
        unsigned entry;
        unsigned hash;
    };
    bool grow_sizes();
    // find() and add() with the name's hash, which only an index needs.
    long probe(const char *name, unsigned hash) const;
    bool insert(char *name, char *value, unsigned hash);
    void index_insert(Slot slot);
    bool rebuild_index();

    const cgi_limits *limits_;
    int refusal_ = CGI_ACCEPTED;
    PtrList<cgi_var, free_vars> vars_;
    size_t *lengths_ = nullptr; // value lengths, so appending never rescans
    size_t *capacities_ = nullptr;
    size_t sizes_ = 0;      // slots of lengths_ and capacities_
    Slot *index_ = nullptr; // none: linear search
    size_t index_size_ = 0;
};

// The readers over a stream of the caller's and the variables' texts, for
// tests and fuzz targets.  The cgi_* functions call them with stdin, the
// environment and the limits in force.  A refused read gives null and says
// why in input.refusal.
cgi_request *read_multipart(Input &input, const char *boundary);
cgi_cookie **read_cookies(const char *header); // HTTP_COOKIE
// The whole request: the form reader's result with the cookies of `header`
// added; null when there is no form or nothing at all.
cgi_request *add_cookies(cgi_request *form, const char *header);
struct FormInput {
    const char *content_type, *method, *content_length, *query_string;
    FILE *prompt = nullptr; // where console input is asked for; none: not asked
};
// Without cgi_read_form's effects on the environment and stdin's buffer.
cgi_request *read_form(FILE *in, const FormInput &vars, const cgi_limits &limits, int *refusal);
// The readers alone: no limits, and the body up to end of input.
cgi_request *read_form(FILE *in, const FormInput &vars);
cgi_request *read_multipart(FILE *in, const char *boundary);

// The line reader and the spool over a body: a line longer than max_length
// is refused (CGI_REFUSED_VALUE_BYTES), as is a file part beyond the limits.
// *closed tells that the part ended in the close delimiter, after which
// nothing more is read.  A last line that the input's end cuts short is not
// returned; *cut then shows it (until the next call).
char *read_line(Input &input, size_t max_length, const char **cut = nullptr);
char *spool_part(Input &input, const char *boundary, bool *closed);

// Files that a fatal signal must not leave behind (cgi/cleanup.cpp): the
// spool files, at most max_spool_files at once, and one further file of the
// caller's.  They are created, renamed and deleted here, every signal
// blocked meanwhile.  From the first file on, a handler of SIGTERM, SIGHUP,
// SIGINT, SIGPIPE, SIGALRM and SIGXFSZ (those whose disposition was the
// default) deletes them before the process dies of the signal.
const size_t max_spool_files = 64;
// mkstemp on the template, registered as a spool file or as the further
// file: its descriptor, or -1 (then no file) when mkstemp fails or no slot
// of that kind is free (errno EMFILE).
int create_file(char *tmpl, bool spool);
// unlink, or rename, that forgets the file when it was registered; as those
// calls, 0 or -1.  A path that was never registered is simply unlinked.
int remove_file(const char *path);
int rename_file(const char *from, const char *to);
// At a release: forgets the files that the caller renamed or deleted by
// itself, and when none is left, puts back the dispositions.
void forget_moved_files();

// Response state (content type and header lines) back to unset.
void reset_response_state();

// The writers behind cgi_emit_header, cgi_redirect and cgi_trace, over the
// caller's streams; the cgi_* functions pass stdout (the page) and stderr.
void emit_header(FILE *out);
void redirect(FILE *out, const char *url);
// The system log target still goes to syslog.
void vtrace(FILE *page, FILE *err, int level, const char *format, va_list ap) CGI_PRINTF(4, 0);

// Capacity of the line reader's process-wide buffer, for tests.
size_t line_buffer_capacity();
// The line buffer's next capacity after `capacity`.
size_t grown_line_capacity(size_t capacity);

// Bytes of `s` before its first CR or LF.
size_t line_length(const char *s);

} // namespace ostrel

#endif
