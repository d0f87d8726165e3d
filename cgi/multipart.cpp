// Multipart form reader: a small state machine over the lines of the body.
// Value parts become variables; file parts are spooled and become uploads.
#include "cgi/internal.h"

#include <cstring>
#include <utility>

using ostrel::Owned;

namespace {

const char content_type_header[] = "Content-Type: ";

// Letter case is ignored in the header keywords, whatever the locale.
bool starts_with_nocase(const char *s, const char *prefix)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (; *prefix; s++, prefix++)
        if (lower(*s) != lower(*prefix))
            return false;
    return true;
}

// Decoded copy of the quoted parameter value after `key` (which ends in a
// double quote), searched anywhere in the line, into `value`; null there when
// absent or unclosed.  False when it is there but memory ran out.  Not RFC
// 7578's parameter syntax: no backslash escapes, the first match anywhere
// counts (so "name=" is also found inside "filename="), and the value is
// percent-decoded, which RFC 7578 allows for file names only; browsers put
// name before filename, and stored names were made this way.
bool quoted_parameter(const char *line, const char *key, Owned<char> &value)
{
    value.reset();
    const char *start = std::strstr(line, key);
    if (!start)
        return true;
    start += std::strlen(key);
    const char *end = std::strchr(start, '"');
    if (!end)
        return true;
    value.reset(ostrel::copy_bytes(start, static_cast<size_t>(end - start)));
    if (!value)
        return false;
    cgi_decode(value.get());
    return true;
}

// Strings of the part whose headers are being read, not yet handed over.
struct Pending {
    Owned<char> field, filename, type;
    void clear()
    {
        field.reset();
        filename.reset();
        type.reset();
    }
};

// Where the reader is in the body.  Header keywords are taken in Headers
// and Value alike; see Reader::take.
enum class State {
    Start,    // no line yet: is it a body at all?
    Headers,  // a part's headers, up to the blank line
    Value,    // a value part's lines
    Dropping, // lines up to the next delimiter are ignored
    Closed,   // the close delimiter was read: nothing more is
};

class Reader {
public:
    Reader(ostrel::Input &in, const char *boundary)
        : in_(in), boundary_(boundary), boundary_len_(std::strlen(boundary)), vars_(&in.limits)
    {
    }
    bool read();
    cgi_request *result();

private:
    char *next_line();
    bool framed(const char *first);
    bool is_delimiter(const char *line) const
    {
        return (boundary_len_ == 0 || line[0] == boundary_[0]) && std::strncmp(line, boundary_, boundary_len_) == 0;
    }
    // The close delimiter: "--" right behind the boundary.
    bool closes(const char *delimiter) const
    {
        return delimiter[boundary_len_] == '-' && delimiter[boundary_len_ + 1] == '-';
    }
    void disposition(const char *line);
    void drop_part(const char *what);
    void content_type(const char *line);
    void file_part();
    void store_upload(char *path);
    cgi_upload *new_upload(char *path);
    bool take(char *line);
    void end_of_headers();
    bool first_value_line(char *line);
    bool further_value_line(char *line);

    ostrel::Input &in_;
    const char *boundary_;
    size_t boundary_len_;
    State state_ = State::Start;
    const char *cut_ = nullptr; // a last line without its line end
    Pending part_;
    long current_ = -1; // variable that value lines extend
    ostrel::VarList vars_;
    // Released (spool files deleted) if the reader gives up.
    ostrel::PtrList<cgi_upload, ostrel::free_uploads> uploads_;
};

void Reader::disposition(const char *line)
{
    if (part_.field)
        return;
    // A name or file name that could not be copied drops the whole part:
    // without them its lines would pass for another variable's or its file
    // data for a value.
    if (!quoted_parameter(line, "name=\"", part_.field))
        return drop_part("a part's field name");
    if (!part_.field)
        return;
    cgi_trace(2, "Found field name %s", part_.field.get());
    Owned<char> filename;
    if (!quoted_parameter(line, "filename=\"", filename))
        return drop_part("a part's file name");
    if (filename) {
        part_.filename = std::move(filename);
        cgi_trace(2, "Found filename %s", part_.filename.get());
    }
}

void Reader::drop_part(const char *what)
{
    cgi_trace(1, "Ignoring a part: no memory for %s", what);
    part_.clear();
    current_ = -1;
    state_ = State::Dropping;
}

void Reader::content_type(const char *line)
{
    if (part_.type)
        return;
    part_.type.reset(ostrel::copy_string(line + sizeof content_type_header - 1));
    if (part_.type)
        cgi_trace(2, "Found mime type %s", part_.type.get());
}

void Reader::file_part()
{
    if (uploads_.count() >= in_.limits.files) {
        in_.refuse(CGI_REFUSED_FILES);
        return;
    }
    bool closed = false;
    char *path = ostrel::spool_part(in_, boundary_, &closed);
    if (closed)
        state_ = State::Closed;
    if (!path) {
        part_.clear();
        return;
    }
    const char *field = part_.field ? part_.field.get() : "";
    cgi_trace(2, "Wrote %s (%s) to file: %s", field, part_.filename.get(), path);
    // An empty file input of a browser form, or a file name left over from a
    // part whose field name went to a variable: nothing to keep.
    if (!part_.filename.get()[0] || !part_.field) {
        cgi_trace(3, "Found empty filename, removing");
        ostrel::remove_file(path);
        std::free(path);
        part_.clear();
        return;
    }
    store_upload(path);
}

// The record of a finished file part, taking over its strings and the
// spool path; null when memory ran out (then nothing was taken).
cgi_upload *Reader::new_upload(char *path)
{
    cgi_upload *u = static_cast<cgi_upload *>(std::malloc(sizeof *u));
    if (!u)
        return ostrel::out_of_memory("an upload record");
    // The client file name is what follows the last "/".  RFC 7578 asks
    // for no path at all; older browsers sent a whole one, and stored names
    // are built from what follows it.
    char *filename = part_.filename.get();
    if (const char *slash = std::strrchr(filename, '/'))
        std::memmove(filename, slash + 1, std::strlen(slash + 1) + 1);
    u->name = part_.field.release();
    u->type = part_.type.release();
    u->filename = part_.filename.release();
    u->path = path;
    return u;
}

void Reader::store_upload(char *path)
{
    bool listed = uploads_.allocated();
    if (uploads_.reserve()) {
        if (cgi_upload *u = new_upload(path)) {
            uploads_.append(u); // room was made above
            return;
        }
        listed = false; // the record's own malloc
    }
    // Besides the out-of-memory line: the part that is lost.
    cgi_trace(3, "%s failed, ignoring %s=%s", listed ? "realloc" : "malloc", part_.field.get(), part_.filename.get());
    ostrel::remove_file(path);
    std::free(path);
    part_.clear();
}

// A value part's first line: a new variable, or one more line of an old
// one.  A repeated name gets the line as it came, undecoded, where a new
// one is decoded: stored values that repeat a name rely on it.  False when
// the value could not be stored, as in the form reader: a value cut short
// would pass for a whole one.
bool Reader::first_value_line(char *line)
{
    current_ = vars_.put(part_.field, line, true);
    part_.field.reset();
    part_.type.reset();
    if (current_ >= 0) {
        cgi_trace(3, "Set #%ld to %s=%s", current_, vars_.at(static_cast<size_t>(current_))->name, line);
        return true;
    }
    if (vars_.refusal())
        in_.refuse(vars_.refusal());
    return false;
}

// A further line of the current value, decoded.  False when the value could
// not be extended.
bool Reader::further_value_line(char *line)
{
    if (current_ < 0)
        return true;
    cgi_decode(line);
    if (vars_.append(static_cast<size_t>(current_), "\r\n", line, std::strlen(line)))
        return true;
    if (vars_.refusal())
        in_.refuse(vars_.refusal());
    return false;
}

// Lines no longer than a value and its part's own words.
char *Reader::next_line()
{
    size_t most = in_.limits.value_bytes > SIZE_MAX - 1024 ? SIZE_MAX : in_.limits.value_bytes + 1024;
    return state_ == State::Closed || in_.refusal ? nullptr : ostrel::read_line(in_, most, &cut_);
}

// Without CONTENT_LENGTH the body is taken only when it plainly is one: its
// first line is a delimiter, where chunked framing that a server passed on
// undecoded opens with a hexadecimal size line.  A preamble (RFC 2046 allows
// one; no browser sends it) is refused with it.
bool Reader::framed(const char *first)
{
    return in_.length_given || is_delimiter(first) || in_.refuse(CGI_REFUSED_UNFRAMED);
}

// One line of the body.  The first byte rules out nearly every data line
// without a call.  A line that begins with the boundary is a delimiter,
// whatever follows but "--", which closes the body: RFC 2046 allows only
// padding there, but a stricter test would let a sloppy client's parts run
// together.  Header keywords count on any line, also inside a value part,
// where RFC 7578 has none: a value line that begins with one sets the
// part's field or type, as it always has for stored requests.  False when
// the request is given up.
bool Reader::take(char *line)
{
    if (state_ == State::Start) {
        if (!framed(line))
            return false;
        state_ = State::Headers;
    }
    if (is_delimiter(line)) {
        state_ = closes(line) ? State::Closed : State::Headers;
        return true;
    }
    if (state_ == State::Dropping)
        return true;
    if (starts_with_nocase(line, "Content-Disposition: form-data; "))
        disposition(line);
    else if (starts_with_nocase(line, content_type_header))
        content_type(line);
    else if (state_ == State::Headers) {
        if (!line[0])
            end_of_headers();
    } else if (part_.field) {
        return first_value_line(line);
    } else {
        return further_value_line(line);
    }
    return true;
}

// A file part goes to the spool, which also takes the delimiter after it;
// a value part's lines follow.
void Reader::end_of_headers()
{
    if (part_.filename)
        file_part();
    else
        state_ = State::Value;
}

bool Reader::read()
{
    for (char *line = next_line(); line; line = next_line())
        if (!take(line))
            return false;
    part_.clear();
    if (in_.refusal)
        return false;
    // RFC 2046: the close delimiter needs no line end after it.
    if (cut_ && is_delimiter(cut_) && closes(cut_))
        state_ = State::Closed;
    // Without a length, the body limit was reached before the body's end.
    return state_ == State::Closed || in_.length_given || in_.left > 0 || in_.refuse(CGI_REFUSED_BODY_BYTES);
}

cgi_request *Reader::result()
{
    cgi_request *req = static_cast<cgi_request *>(std::calloc(1, sizeof *req));
    if (!req)
        return ostrel::out_of_memory("the request record");
    req->variables = vars_.release();
    req->uploads = uploads_.take();
    return req;
}

} // namespace

cgi_request *ostrel::read_multipart(Input &in, const char *boundary)
{
    // On giving up, the reader's destructor releases everything gathered,
    // spool files included.
    Reader reader(in, boundary);
    return reader.read() ? reader.result() : nullptr;
}

cgi_request *ostrel::read_multipart(FILE *in, const char *boundary)
{
    Input input(in, no_limits());
    return read_multipart(input, boundary);
}

extern "C" cgi_request *cgi_read_multipart(const char *boundary)
{
    ostrel::Input input(stdin, ostrel::current_limits());
    cgi_request *req = ostrel::read_multipart(input, boundary);
    ostrel::set_refusal(input.refusal);
    if (input.refusal)
        ostrel::trace_refusal(input.refusal, input.limits);
    return req;
}
