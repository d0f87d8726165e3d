// Each limit at its edge: one below it and at it a request is read whole; one
// above it, the request is refused whole, the refusal says which limit, and
// nothing is left in /tmp.
#include "cgi/internal.h"
#include "tests/support.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>

namespace {

const char *const multipart_type = "multipart/form-data; boundary=XyZ";

std::string repeat(size_t n, char c = 'x') { return std::string(n, c); }

// Urlencoded POST bodies.
std::string names(size_t n)
{
    std::string b;
    for (size_t i = 0; i < n; i++)
        b += "v" + std::to_string(i) + "=1&";
    return b;
}

// Multipart bodies.
std::string parts(size_t values, size_t files, size_t file_bytes = 1, size_t value_bytes = 1)
{
    std::vector<test::Part> p;
    for (size_t i = 0; i < values; i++)
        p.push_back({"v" + std::to_string(i), repeat(value_bytes)});
    for (size_t i = 0; i < files; i++)
        p.push_back({"f", repeat(file_bytes, 'd'), "f.sff"});
    return test::multipart_body("XyZ", p);
}

struct Case {
    const char *what;
    size_t cgi_limits::*limit;
    size_t at;
    int refusal;
    const char *type; // null: urlencoded
    std::string (*body)(size_t n);
    bool length = true;          // CONTENT_LENGTH sent
    const char *method = "POST"; // null: console input
};

// A value part of n bytes in all, in lines of `line` bytes; with `end`, a
// body that ends in the close delimiter, without the CR LF that may follow.
const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n", tail = "\r\n--XyZ--";
std::string joined(size_t n) { return head + repeat(n - 52) + "\r\n" + repeat(50) + tail; }
std::string sized(size_t n) { return head + repeat(n - head.size() - tail.size()) + tail; }
// A header line of n + 1024 bytes with its CR LF: a value's limit and room
// for the part's own words.
std::string header_line(size_t n)
{
    return "--XyZ\r\nContent-Disposition: form-data; name=\"v\"\r\nX-Pad: " + repeat(n + 1024 - 9) + "\r\n\r\n1" + tail;
}

const Case cases[] = {
    {"fields, urlencoded", &cgi_limits::fields, 5, CGI_REFUSED_FIELDS, nullptr, names},
    {"fields, multipart", &cgi_limits::fields, 5, CGI_REFUSED_FIELDS, multipart_type,
     [](size_t n) { return parts(n, 0); }},
    {"files", &cgi_limits::files, 3, CGI_REFUSED_FILES, multipart_type, [](size_t n) { return parts(0, n); }},
    {"file bytes", &cgi_limits::file_bytes, 1000, CGI_REFUSED_FILE_BYTES, multipart_type,
     [](size_t n) { return parts(0, 1, n); }},
    {"value bytes, urlencoded", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, nullptr,
     [](size_t n) { return "a=" + repeat(n); }},
    {"name bytes, urlencoded", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, nullptr,
     [](size_t n) { return repeat(n) + "=1"; }},
    {"joined value bytes, urlencoded", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, nullptr,
     [](size_t n) { return "a=" + repeat(n - 50) + "&a=" + repeat(49); }},
    {"value bytes, multipart", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, multipart_type,
     [](size_t n) { return parts(1, 0, 0, n); }},
    {"joined lines, multipart", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, multipart_type, joined},
    {"body bytes, urlencoded", &cgi_limits::body_bytes, 300, CGI_REFUSED_BODY_BYTES, nullptr,
     [](size_t n) { return "a=" + repeat(n - 2); }},
    {"body bytes, multipart", &cgi_limits::body_bytes, 300, CGI_REFUSED_BODY_BYTES, multipart_type, sized},
    {"body bytes, multipart without a length", &cgi_limits::body_bytes, 300, CGI_REFUSED_BODY_BYTES, multipart_type,
     sized, false},
    {"body bytes, console", &cgi_limits::body_bytes, 300, CGI_REFUSED_BODY_BYTES, nullptr,
     [](size_t n) { return "a=" + repeat(n - 2); }, false, nullptr},
    {"header line, multipart", &cgi_limits::value_bytes, 100, CGI_REFUSED_VALUE_BYTES, multipart_type, header_line},
};

class Limits : public test::SpoolWatch {};

TEST_F(Limits, AtTheirEdges)
{
    for (const Case &c : cases) {
        for (size_t n : {c.at - 1, c.at, c.at + 1}) {
            SCOPED_TRACE(std::string(c.what) + " " + std::to_string(n));
            cgi_limits limits = {1000, 10, 100000, 100000, 100000, 0};
            limits.*c.limit = c.at;
            std::string body = c.body(n), length = std::to_string(body.size());
            FILE *in = fmemopen(&body[0], body.size(), "rb");
            ASSERT_NE(in, nullptr);
            int refusal = -1;
            ostrel::FormInput vars{c.type, c.method, c.length ? length.c_str() : nullptr, nullptr};
            cgi_request *req = ostrel::read_form(in, vars, limits, &refusal);
            std::fclose(in);
            EXPECT_EQ(req != nullptr, n <= c.at);
            EXPECT_EQ(refusal, n <= c.at ? CGI_ACCEPTED : c.refusal);
            cgi_free_request(req);
            EXPECT_TRUE(new_spool_files().empty());
        }
    }
}

// The refusal is the whole request's, traced at level 1, and told apart
// from a request that held nothing.
TEST_F(Limits, RefusalIsTracedAndTold)
{
    cgi_limits two = ostrel::default_limits();
    two.fields = 2;
    test::Bytes none("");
    int refusal = -1;
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(1, 1);
        EXPECT_EQ(ostrel::read_form(none, {nullptr, "GET", nullptr, "a=1&b=2&c=3"}, two, &refusal), nullptr);
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(refusal, CGI_REFUSED_FIELDS);
    EXPECT_NE(err.find("Request refused: fields limit (2)\n"), std::string::npos) << err;
    cgi_request *req = ostrel::read_form(none, {nullptr, "GET", nullptr, "novalue"}, two, &refusal);
    EXPECT_NE(req, nullptr);
    EXPECT_EQ(refusal, CGI_ACCEPTED);
    cgi_free_request(req);
}

// The reserve on the spool's file system, on a small tmpfs of its own (in a
// child, which gets a mount namespace of its own): a file part that would
// leave less free is refused, and its spool file goes.
TEST_F(Limits, TmpReserve)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root for a tmpfs of its own";
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("ostrel-limits", "/tmp", "tmpfs", 0, "size=4m") != 0)
            _exit(90);
        cgi_limits limits = {10, 10, 8u << 20, 1000, 8u << 20, 2u << 20};
        auto read = [&](size_t bytes) {
            std::string body = parts(0, 1, bytes);
            FILE *in = fmemopen(&body[0], body.size(), "rb");
            int refusal = -1;
            cgi_request *req = ostrel::read_form(in, {multipart_type, "POST", nullptr, nullptr}, limits, &refusal);
            std::fclose(in);
            bool stored = req && req->uploads;
            cgi_free_request(req);
            return stored ? 0 : refusal;
        };
        int small = read(1u << 20), large = read(3u << 20);
        DIR *d = opendir("/tmp");
        int left = 0;
        while (struct dirent *e = d ? readdir(d) : nullptr)
            left += e->d_name[0] != '.';
        _exit(small == 0 && large == CGI_REFUSED_TMP_RESERVE && left == 0 ? 0 : 1 + small * 10 + large);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 90)
        GTEST_SKIP() << "no mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
