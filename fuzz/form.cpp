// The form reader over URL-encoded input from each of its sources, checked
// against a plain model of the pairs; and over multipart bodies handed on by
// CONTENT_TYPE, checked for records and spool files.
//
// Input: a mode byte (0 GET, 1 POST, 2 console lines, 3 multipart), then:
// GET the query string; POST the CONTENT_LENGTH text up to a line feed and
// the body; console the lines; multipart the CONTENT_TYPE up to a line feed
// and the body.
#include "fuzz/common.h"

#include <climits>

namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

void compare(const cgi_request *req, const Vars &expected)
{
    FUZZ_CHECK(req, "no record");
    FUZZ_CHECK(req->variables, "no variables list");
    FUZZ_CHECK(!req->cookies && !req->uploads, "cookies or uploads from URL-encoded input");
    size_t n = 0;
    while (req->variables[n])
        n++;
    FUZZ_CHECK(n == expected.size(), "%zu variables, %zu expected", n, expected.size());
    for (size_t i = 0; i < n; i++) {
        const cgi_var *v = req->variables[i];
        FUZZ_CHECK(expected[i].first == v->name, "variable %zu is named %s", i, v->name);
        FUZZ_CHECK(expected[i].second == v->value, "variable %s holds %s", v->name, v->value);
    }
}

// CONTENT_LENGTH as a model: leading white space, a sign, digits; a value
// beyond an int is refused (-1).
long long length_model(const std::string &s)
{
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        i++;
    bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        i++;
    long long n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
        if ((n = n * 10 + (s[i] - '0')) > INT_MAX)
            return -1;
    return negative ? -n : n;
}

// The console reader's text: pieces of at most 99 bytes or up to a line
// feed, each up to its first NUL; a line feed becomes "&"; a last "&" goes.
bool console_model(const std::string &in, std::string &text)
{
    bool any = false;
    for (size_t i = 0; i < in.size();) {
        size_t end = std::min(in.size(), i + 99);
        size_t lf = in.find('\n', i);
        if (lf != std::string::npos && lf < end)
            end = lf + 1;
        std::string piece = fuzz::c_string(in.substr(i, end - i));
        i = end;
        if (piece.empty())
            continue;
        if (piece.back() == '\n')
            piece.back() = '&';
        text += piece;
        any = true;
    }
    if (!text.empty() && text.back() == '&')
        text.pop_back();
    return any;
}

// The variables as the environment would hold them: texts up to a NUL.
ostrel::FormInput variables(const char *method, const std::string *type, const std::string *length,
                            const std::string *query)
{
    return {type ? type->c_str() : nullptr, method, length ? length->c_str() : nullptr,
            query ? query->c_str() : nullptr};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int mode = data[0] % 4;
    std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
    const uint8_t *bytes = data + 1;

    if (mode == 0) {
        std::string query = fuzz::c_string(input);
        cgi_request *req = ostrel::read_form(nullptr, variables("GET", nullptr, nullptr, &query)); // no stream read
        if (query.empty())
            FUZZ_CHECK(!req, "a record from an empty query string");
        else
            compare(req, fuzz::form_model(query));
        cgi_free_request(req);
        return 0;
    }

    size_t lf = input.find('\n');
    std::string head = fuzz::c_string(input.substr(0, lf));
    size_t skip = lf == std::string::npos ? input.size() : lf + 1;
    std::string body = input.substr(skip);

    if (mode == 1) {
        long long length = length_model(head);
        if (length > (1 << 20)) // a real allocation of that size: not for the fuzzer
            return 0;
        cgi_request *req;
        {
            fuzz::Input in(bytes + skip, body.size());
            req = ostrel::read_form(in.get(), variables("POST", nullptr, &head, nullptr));
        }
        if (length <= 0) {
            FUZZ_CHECK(!req, "a record for CONTENT_LENGTH %s", head.c_str());
        } else {
            std::string text = body.substr(0, static_cast<size_t>(length));
            size_t line = text.find('\n');
            if (line != std::string::npos)
                text.resize(line + 1);
            compare(req, fuzz::form_model(fuzz::c_string(text)));
        }
        cgi_free_request(req);
        return 0;
    }

    if (mode == 2) {
        cgi_request *req;
        {
            fuzz::Input in(bytes, input.size());
            req = ostrel::read_form(in.get(), variables(nullptr, nullptr, nullptr, nullptr));
        }
        std::string text;
        if (console_model(input, text))
            compare(req, fuzz::form_model(text));
        else
            FUZZ_CHECK(!req, "a record from console input without a piece");
        cgi_free_request(req);
        return 0;
    }

    // With its length given: a body without one is refused unless it opens
    // with its boundary, which the multipart target's bodies need not do.
    std::string type = head, length = std::to_string(body.size());
    cgi_request *req;
    int refusal = CGI_ACCEPTED;
    {
        fuzz::Input in(bytes + skip, body.size());
        req = ostrel::read_form(in.get(), variables("POST", &type, &length, nullptr), ostrel::no_limits(), &refusal);
    }
    FUZZ_CHECK(type == head, "the content type was changed");
    bool multipart =
        head.find("multipart/form-data") != std::string::npos && head.find("boundary=") != std::string::npos;
    if (multipart)
        FUZZ_CHECK(req || refusal == CGI_REFUSED_FILES, "no record from a multipart body (refusal %d)", refusal);
    if (req && req->uploads)
        for (size_t i = 0; req->uploads[i]; i++)
            FUZZ_CHECK(req->uploads[i]->name && fuzz::exists(req->uploads[i]->path), "upload %zu", i);
    cgi_free_request(req);
    fuzz::check_no_spool_left("after the release");
    return 0;
}
