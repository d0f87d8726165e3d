// Form reader: hands multipart bodies to the multipart reader, and reads
// URL-encoded input from a POST body, the query string or a console.
#include "cgi/internal.h"

#include <cerrno>
#include <climits>
#include <cstring>

using ostrel::Owned;

namespace {

// The multipart boundary argument: "--" and the boundary parameter's value,
// without its quotes, up to ";" or white space when unquoted.  A quoted
// value ends at the next quote: RFC 2045's quoted-pair escapes are not
// read, and no boundary that RFC 2046 allows needs them.
char *boundary_argument(const char *value)
{
    size_t n;
    if (*value == '"') {
        value++;
        n = std::strcspn(value, "\"");
    } else {
        n = std::strcspn(value, "; \t\r\n");
    }
    char *arg = static_cast<char *>(std::malloc(n + 3));
    if (!arg)
        return ostrel::out_of_memory("the multipart boundary");
    std::memcpy(arg, "--", 2);
    std::memcpy(arg + 2, value, n);
    arg[n + 2] = '\0';
    return arg;
}

// Stdin's buffer for multipart bodies: file data moves in large blocks,
// which the spool writes out straight from here.
unsigned char body_buffer[1 << 18];

// CONTENT_LENGTH as RFC 3875 has it: decimal digits alone.  False for
// anything else (an empty value included): then the body has no length.
bool body_length(const char *s, size_t *length)
{
    if (!s || !*s)
        return false;
    size_t n = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        size_t digit = static_cast<size_t>(*s - '0');
        if (n > (SIZE_MAX - digit) / 10)
            n = SIZE_MAX - 1; // more than any limit
        else
            n = n * 10 + digit;
    }
    *length = n;
    return *s == '\0';
}

const char boundary_param[] = "boundary=";
const size_t boundary_param_length = sizeof boundary_param - 1;

// Hands a multipart body to its reader.  `param` points at "boundary=" in
// the content type.  `environment` is the CONTENT_TYPE string itself when
// reading stdin for cgi_read_form: then that string is altered and stdin
// gets a large buffer, as callers expect.  The body is read no further than
// CONTENT_LENGTH, or, without one, than the body limit allows.
cgi_request *hand_over_multipart(ostrel::Input &input, const char *param, const char *length, char *environment)
{
    if (environment) {
        // Callers may look for the altered value: "boundary=" now ends in "--".
        // RFC 3875 makes the meta-variables the server's input, not ours to
        // change; the programs built on this rely on the change all the same.
        char *p = environment + (param - environment) + boundary_param_length;
        p[-2] = p[-1] = '-';
    }
    Owned<char> boundary(boundary_argument(param + boundary_param_length));
    if (!boundary)
        return nullptr;
    input.length_given = body_length(length, &input.left);
    if (!input.length_given)
        input.left = input.limits.body_bytes;
    else if (input.left > input.limits.body_bytes) {
        input.refuse(CGI_REFUSED_BODY_BYTES);
        return nullptr;
    }
    if (environment)
        setvbuf(input.in, reinterpret_cast<char *>(body_buffer), _IOFBF, sizeof body_buffer);
    return ostrel::read_multipart(input, boundary.get());
}

// CONTENT_LENGTH as atoi reads it, but a value beyond an int gives -1.
int content_length(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    int n = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        int digit = *s - '0';
        if (n > (INT_MAX - digit) / 10)
            return -1;
        n = n * 10 + digit;
    }
    return negative ? -n : n;
}

// At most `length` bytes of the body, up to and including its first line feed.
// RFC 3875 makes the body exactly CONTENT_LENGTH bytes; the reader stops at
// the first line end as it always has, so a body of several lines keeps
// only its first.
char *read_post_body(ostrel::Input &input, const char *length_text)
{
    FILE *in = input.in;
    int length = content_length(length_text);
    if (length <= 0)
        return nullptr;
    if (static_cast<size_t>(length) > input.limits.body_bytes) {
        input.refuse(CGI_REFUSED_BODY_BYTES);
        return nullptr;
    }
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 2));
    if (!body)
        return ostrel::out_of_memory("the form body");
    int n = 0;
    int c;
    while (n < length && (c = getc(in)) != EOF) {
        body[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    body[n] = '\0';
    return body;
}

// Console input: name=value pairs, one or more per line, until end of input;
// each line end becomes "&".  RFC 3875 requires REQUEST_METHOD; without one
// (or with any method but GET and POST) the program was started by hand.
char *read_offline_lines(ostrel::Input &input, FILE *prompt)
{
    FILE *in = input.in;
    if (prompt)
        std::fputs("(offline mode: enter name=value pairs on standard input)\n", prompt);
    char *text = nullptr;
    size_t length = 0, capacity = 0;
    char piece[101];
    for (;;) {
        std::memset(piece, 0, sizeof piece);
        if (!std::fgets(piece, 100, in))
            break;
        size_t n = std::strlen(piece);
        if (n == 0) // only a zero byte does this
            continue;
        if (piece[n - 1] == '\n')
            piece[n - 1] = '&';
        if (length + n > input.limits.body_bytes) {
            std::free(text);
            input.refuse(CGI_REFUSED_BODY_BYTES);
            return nullptr;
        }
        if (length + n + 1 > capacity) {
            size_t grown = capacity * 2 > length + n + 1 ? capacity * 2 : length + n + 1;
            char *p = static_cast<char *>(std::realloc(text, grown));
            if (!p) {
                std::free(text);
                return ostrel::out_of_memory("the console input");
            }
            text = p;
            capacity = grown;
        }
        std::memcpy(text + length, piece, n + 1);
        length += n;
    }
    if (text && length > 0 && text[length - 1] == '&')
        text[length - 1] = '\0';
    return text;
}

// "+" becomes a space: HTML form encoding, not RFC 3986, which keeps "+".
void plus_to_space(char *text)
{
    for (char *p = text; (p = std::strchr(p, '+')); p++)
        *p = ' ';
}

// The pairs the text may hold, for the trace: one more than its separators.
size_t count_pairs(const char *text)
{
    size_t pairs = 0;
    for (const char *p = text; *p; p++)
        pairs += *p == '&' || *p == ';';
    return *text ? pairs + 1 : 0;
}

// Cuts the next pair out of the text at *cursor and moves the cursor behind
// it (null at the end).  ";" separates pairs only behind the last "&": the
// stored values of forms that used ";" inside values stay as they were.
char *next_pair(char *&cursor, bool &ampersands)
{
    char *pair = cursor;
    char *end = ampersands ? std::strchr(pair, '&') : nullptr;
    if (!end) {
        ampersands = false;
        end = std::strchr(pair, ';');
    }
    cursor = end && end[1] ? end + 1 : nullptr;
    if (end)
        *end = '\0';
    return pair;
}

// Stores one name=value pair, both decoded; a pair without "=" is ignored.
// False when memory ran out.
bool store_pair(char *pair, ostrel::VarList &vars)
{
    char *eq = std::strchr(pair, '=');
    if (!eq)
        return true;
    Owned<char> name(ostrel::copy_bytes(pair, static_cast<size_t>(eq - pair)));
    if (!name)
        return false;
    cgi_decode(name.get());
    cgi_decode(eq + 1);
    long i = vars.put(name, eq + 1, false);
    if (i < 0)
        return false; // no memory, or a limit: vars.refusal() tells
    cgi_var *v = vars.at(static_cast<size_t>(i));
    cgi_trace(1, "%s: %s", v->name, v->value);
    return true;
}

// Splits the text into name=value pairs and stores them.  False when memory
// ran out.
bool parse_pairs(char *text, ostrel::VarList &vars)
{
    cgi_trace(1, "Received CGI input: %s", text);
    plus_to_space(text);
    cgi_trace(1, "%zu cgi variables found.", count_pairs(text));
    bool ampersands = true;
    for (char *cursor = *text ? text : nullptr; cursor;)
        if (!store_pair(next_pair(cursor, ampersands), vars))
            return false;
    return true;
}

// The form reader; `environment` as for hand_over_multipart.
cgi_request *read_input(ostrel::Input &in, const ostrel::FormInput &vars, char *environment)
{
    const char *type = vars.content_type;
    if (type)
        cgi_trace(2, "Content-Type: %s", type);
    if (type && std::strstr(type, "multipart/form-data"))
        if (const char *param = std::strstr(type, boundary_param))
            return hand_over_multipart(in, param, vars.content_length, environment);

    Owned<cgi_request> req(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
    if (!req)
        return ostrel::out_of_memory("the request record");
    const char *method = vars.method;
    if (method)
        cgi_trace(2, "REQUEST_METHOD: %s", method);
    const char *length = vars.content_length;
    if (length)
        cgi_trace(2, "CONTENT_LENGTH: %s", length);

    Owned<char> text;
    if (method && std::strcmp(method, "POST") == 0) {
        if (!length)
            return nullptr;
        text.reset(read_post_body(in, length));
    } else if (method && std::strcmp(method, "GET") == 0) {
        const char *query = vars.query_string;
        if (!query || !*query)
            return nullptr;
        text.reset(ostrel::copy_string(query));
    } else {
        text.reset(read_offline_lines(in, vars.prompt));
    }
    if (!text)
        return nullptr;

    ostrel::VarList vars_list(&in.limits);
    if (!parse_pairs(text.get(), vars_list)) {
        if (vars_list.refusal())
            in.refuse(vars_list.refusal());
        return nullptr;
    }
    cgi_var **list = vars_list.release();
    if (!list && !(list = static_cast<cgi_var **>(std::calloc(1, sizeof *list))))
        return ostrel::out_of_memory("the variables list");
    req->variables = list;
    return req.release();
}

// The reader with its limits; a refusal is traced and told in *refusal.
cgi_request *read_form(FILE *stream, const ostrel::FormInput &vars, const cgi_limits &limits, int *refusal,
                       char *environment)
{
    ostrel::Input in(stream, limits);
    cgi_request *req = read_input(in, vars, environment);
    if (in.refusal)
        ostrel::trace_refusal(in.refusal, limits);
    if (refusal)
        *refusal = in.refusal;
    return req;
}

} // namespace

cgi_request *ostrel::read_form(FILE *in, const FormInput &vars, const cgi_limits &limits, int *refusal)
{
    return ::read_form(in, vars, limits, refusal, nullptr);
}

cgi_request *ostrel::read_form(FILE *in, const FormInput &vars)
{
    return ::read_form(in, vars, no_limits(), nullptr, nullptr);
}

extern "C" cgi_request *cgi_read_form(void)
{
    char *type = std::getenv("CONTENT_TYPE");
    ostrel::FormInput vars{type, std::getenv("REQUEST_METHOD"), std::getenv("CONTENT_LENGTH"),
                           std::getenv("QUERY_STRING"), stdout};
    int refusal = CGI_ACCEPTED;
    cgi_request *req = read_form(stdin, vars, ostrel::current_limits(), &refusal, type);
    ostrel::set_refusal(refusal);
    return req;
}
