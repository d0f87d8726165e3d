// The response operations over any text: header lines, content type, the
// redirect page and HTML escaping.  No CR or LF may end a header line early,
// Content-length is exact, and escaped text holds no raw "<", ">" or "&".
//
// Input: fields separated by NUL bytes: the content type, the redirect URL,
// the text to escape, then header names and values in turns.
#include "fuzz/common.h"

namespace {

// The lines of a header block, which must end in an empty line; every line
// ends in CR LF, and no CR or LF stands anywhere else.
std::vector<std::string> header_lines(const std::string &out, size_t &end)
{
    end = out.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string::npos, "no end of the header block");
    end += 4;
    std::vector<std::string> lines;
    for (size_t pos = 0; pos + 2 < end;) {
        size_t crlf = out.find("\r\n", pos);
        std::string line = out.substr(pos, crlf - pos);
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "a CR or LF inside '%s'", line.c_str());
        FUZZ_CHECK(!line.empty(), "an empty line inside the header block");
        lines.push_back(line);
        pos = crlf + 2;
    }
    return lines;
}

std::string unescaped(const std::string &s)
{
    static const std::pair<const char *, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    std::string out;
    for (size_t i = 0; i < s.size();) {
        bool entity = false;
        for (const auto &e : entities) {
            size_t n = std::strlen(e.first);
            if (s.compare(i, n, e.first) == 0) {
                out += e.second;
                i += n;
                entity = true;
                break;
            }
        }
        if (!entity) {
            FUZZ_CHECK(s[i] != '&', "a raw & in escaped text");
            out += s[i++];
        }
    }
    return out;
}

void check_escaped(const std::string &escaped, const std::string &text, bool quotes)
{
    FUZZ_CHECK(escaped.find_first_of("<>") == std::string::npos, "a raw < or > in escaped text");
    if (quotes)
        FUZZ_CHECK(escaped.find('"') == std::string::npos, "a raw \" in an attribute");
    FUZZ_CHECK(unescaped(escaped) == text, "escaping lost text");
}

std::string line_of(const std::string &s) { return s.substr(0, s.find_first_of("\r\n")); }

void redirect(const std::string &url)
{
    std::string out = fuzz::written([&](FILE *f) { ostrel::redirect(f, url.c_str()); });
    std::string location = line_of(url);
    if (location.empty()) {
        FUZZ_CHECK(out.empty(), "a redirect to nowhere");
        return;
    }
    size_t end;
    std::vector<std::string> lines = header_lines(out, end);
    std::string body = out.substr(end);
    bool length_seen = false, location_seen = false;
    for (const auto &l : lines) {
        if (l.compare(0, 16, "Content-length: ") == 0) {
            FUZZ_CHECK(l.substr(16) == std::to_string(body.size()), "%s for %zu bytes", l.c_str(), body.size());
            length_seen = true;
        }
        if (l.compare(0, 10, "Location: ") == 0) {
            FUZZ_CHECK(l.substr(10) == location, "Location differs");
            location_seen = true;
        }
    }
    FUZZ_CHECK(length_seen && location_seen, "Content-length or Location missing");
    const std::string before = "<html>\n<body>\nThe page has been moved to <a href=\"",
                      after = "</a>\n</body>\n</html>\n";
    FUZZ_CHECK(body.compare(0, before.size(), before) == 0, "page start");
    FUZZ_CHECK(body.size() >= before.size() + after.size() + 2, "page too short");
    FUZZ_CHECK(body.compare(body.size() - after.size(), after.size(), after) == 0, "page end");
    std::string middle = body.substr(before.size(), body.size() - before.size() - after.size());
    // href value, then the link text: the same escaped URL twice.
    size_t half = (middle.size() - 2) / 2;
    FUZZ_CHECK(middle.size() % 2 == 0 && middle.compare(half, 2, "\">") == 0, "page middle");
    std::string href = middle.substr(0, half), text = middle.substr(half + 2);
    FUZZ_CHECK(href == text, "href and link text differ");
    check_escaped(href, location, true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> f = fuzz::split(std::string(reinterpret_cast<const char *>(data), size), '\0');
    f.resize(f.size() < 3 ? 3 : f.size());
    const std::string &type = f[0], &url = f[1], &text = f[2];

    // Header lines and the content type.
    size_t recorded = 0;
    for (size_t i = 3; i + 1 < f.size(); i += 2) {
        const std::string &name = f[i], &value = f[i + 1];
        int ok = cgi_set_header(name.c_str(), value.c_str());
        FUZZ_CHECK(ok == (!name.empty() && !value.empty()), "cgi_set_header gave %d", ok);
        recorded += ok;
    }
    int typed = cgi_set_type(type.c_str());
    FUZZ_CHECK(typed == !type.empty(), "cgi_set_type gave %d", typed);
    {
        std::string out = fuzz::written(ostrel::emit_header);
        size_t end;
        std::vector<std::string> lines = header_lines(out, end);
        FUZZ_CHECK(end == out.size(), "output behind the header block");
        FUZZ_CHECK(lines.size() == recorded + 1, "%zu lines for %zu headers", lines.size(), recorded);
        std::string expected_type = type.empty() ? "text/html" : line_of(type);
        FUZZ_CHECK(lines[0] == "Content-type: " + expected_type, "type line %s", lines[0].c_str());
        for (size_t i = 1; i < lines.size(); i++) {
            size_t colon = lines[i].find(": ");
            FUZZ_CHECK(colon != std::string::npos, "line without a name");
            FUZZ_CHECK(lines[i].find_first_of(" :") == colon, "the name of '%s' holds a blank or colon",
                       lines[i].c_str());
        }
    }
    // The release resets the response state.
    cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));

    redirect(url);

    char *escaped = cgi_escape_html(text.c_str());
    FUZZ_CHECK(escaped, "no escaped text");
    check_escaped(escaped, fuzz::c_string(text), false);
    std::free(escaped);
    return 0;
}
