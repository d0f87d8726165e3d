// Out of memory at every allocation of an operation, one at a time: the n-th
// allocation fails, for n = 1, 2, ... until the operation runs without
// reaching it.  Each outcome is one that the operation may give for lack of
// memory, nothing leaks, and no spool file stays behind.
#include "cgi/internal.h"
#include "handler/upload.h"
#include "tests/failing_alloc.h"
#include "tests/support.h"

#include <cstring>

namespace fa = failing_alloc;

namespace {

// With OSTREL_OOM_PROGRAM=n in its environment, this program is the upload
// program with its n-th allocation failing, in a fresh process: the line
// buffer and the response state start unset.  It exits with the program's
// status, plus 2 when the failure happened, plus 4 when blocks leaked (the
// line buffer may stay).  This runs before the tests' main.
const int program_mode = [] {
    const char *n = std::getenv("OSTREL_OOM_PROGRAM");
    if (!n)
        return 0;
    long start = fa::live();
    fa::fail_nth(std::atol(n));
    char dest[FAX_PATH_SIZE] = "/tmp/";
    cgi_request *req = cgi_read_request();
    int result = store_upload(req, dest);
    cgi_free_request(req);
    bool hit = fa::failed();
    fa::fail_nth(0);
    write_answer(stdout, result, dest);
    std::fflush(stdout);
    _exit(result | (hit ? 2 : 0) | (fa::live() > start + 1 ? 4 : 0));
}();

// Entries of `full` missing or different in `got`, matched by what comes
// before "=" or " (": the name; an entry of `got` that `full` does not have
// counts as a fault of its own (-1).
int losses(const std::vector<std::string> &got, const std::vector<std::string> &full)
{
    auto key = [](const std::string &e) { return e.substr(0, e.find_first_of("=(")); };
    int lost = 0;
    size_t j = 0;
    for (const auto &g : got) {
        while (j < full.size() && key(full[j]) != key(g)) {
            j++;
            lost++;
        }
        if (j == full.size())
            return -1;
        lost += full[j] != g;
        j++;
    }
    return lost + static_cast<int>(full.size() - j);
}

// The bytes of an upload entry.
std::string data_of(const std::string &entry) { return entry.substr(entry.find("): ")); }

// The body of a form: value parts, repeated names, lines in values, two
// file parts, more names than the variables list starts with, a preamble
// and an epilogue.
const char boundary[] = "----oomXyZ";
std::string multipart_request()
{
    std::vector<test::Part> parts = {
        {"fxreceiver", "+49 30 1234%21"},
        {"fxdatei", std::string("%PDF\r\n\0binary\r\n--\r\n", 20), "D:/dir/letter.sff", "application/pdf"},
        {"note", "line one\r\nline two"},
        {"note", "again"},
        {"extra", "second file", "extra.txt"},
    };
    for (int i = 0; i < 10; i++)
        parts.push_back({"v" + std::to_string(i), std::to_string(i)});
    return "preamble\r\n" + test::multipart_body(boundary, parts) + "epilogue\r\n";
}

const std::string multipart_type = std::string("multipart/form-data; boundary=") + boundary;

// The line reader's buffer lives for the process: grown once here, it takes
// no allocation in the walks (its own failures are walked in a fresh child
// process, by the program walk).
void grow_line_buffer()
{
    test::set_stdin(std::string(4000, 'x') + "\n");
    ASSERT_NE(cgi_read_line(stdin), nullptr);
}

class OutOfMemory : public test::SpoolWatch {
protected:
    void SetUp() override
    {
        test::SpoolWatch::SetUp();
        grow_line_buffer();
    }
};

// Walks the failing allocation over `run`, which reads, checks and releases;
// returns the number of allocations the operation makes.
template <class Run> long walk(Run run)
{
    for (long n = 1; n < 100000; n++) {
        long before = fa::live();
        bool hit = run(n);
        EXPECT_EQ(fa::live(), before) << "blocks leaked with allocation " << n << " failing";
        if (!hit)
            return n - 1;
    }
    ADD_FAILURE() << "no end to the walk";
    return 0;
}

TEST_F(OutOfMemory, MultipartReader)
{
    std::string body = multipart_request(), length = std::to_string(body.size());
    cgi_request *full;
    {
        test::Env env(
            {{"CONTENT_TYPE", multipart_type.c_str()}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length.c_str()}});
        test::set_stdin(body);
        full = cgi_read_form();
    }
    ASSERT_NE(full, nullptr);
    const std::vector<std::string> all = test::entries(full);
    ASSERT_EQ(all.size(), 14u); // 12 variables, then 2 uploads
    ASSERT_EQ(all[12].compare(0, 7, "upload "), 0);
    cgi_free_request(full);

    long steps = walk([&](long n) {
        test::Env env(
            {{"CONTENT_TYPE", multipart_type.c_str()}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length.c_str()}});
        test::set_stdin(body);
        fa::fail_nth(n);
        cgi_request *req = cgi_read_form();
        bool hit = fa::failed();
        fa::fail_nth(0);
        if (!hit) {
            EXPECT_TRUE(test::entries(req) == all) << n;
        } else if (req) {
            // A part, a line or a content type may be lost; nothing else.
            std::vector<std::string> got = test::entries(req);
            int lost = losses(got, all);
            EXPECT_GE(lost, 0) << "an entry from nowhere, allocation " << n;
            EXPECT_LE(lost, 1) << "allocation " << n;
            size_t uploads = 0;
            for (const auto &e : got)
                if (e.compare(0, 7, "upload ") == 0) { // a part is whole or gone
                    uploads++;
                    EXPECT_TRUE(data_of(e) == data_of(all[e.compare(0, 13, "upload extra ") == 0 ? 13 : 12]))
                        << "allocation " << n;
                }
            EXPECT_EQ(new_spool_files().size(), uploads) << "spool files of dropped parts, allocation " << n;
        } else {
            EXPECT_TRUE(new_spool_files().empty()) << "allocation " << n;
        }
        cgi_free_request(req);
        EXPECT_TRUE(new_spool_files().empty()) << "allocation " << n;
        return hit;
    });
    EXPECT_GT(steps, 40);
}

// URL-encoded input from each source: any failure gives null.
struct Source {
    const char *what;
    std::vector<std::pair<const char *, const char *>> env;
    std::string input;
};

class ProgramOutOfMemory : public test::SpoolWatch {};

TEST_F(ProgramOutOfMemory, StoresTheWholeDocumentOrNothing)
{
    std::string receiver = "oom" + std::to_string(getpid());
    std::string data;
    for (int i = 0; i < 3000; i++)
        data += static_cast<char>(i * 7 % 251);
    std::string type = "application/octet-stream; note=" + std::string(300, 'x'); // grows the line buffer
    std::string body =
        test::multipart_body(boundary, {{"fxreceiver", receiver}, {"fxdatei", data, "fax.sff", type.c_str()}});
    std::string dest = "/tmp/" + receiver + ".fax.sff.sff";
    const char *self = SELF_PATH; // under an emulator, a script that runs it there
    std::map<std::string, std::string> env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", multipart_type}};
    int stored = 0;
    for (long n = 1; n < 1000; n++) {
        env["OSTREL_OOM_PROGRAM"] = std::to_string(n);
        test::Run r = test::run_program(self, env, body);
        ASSERT_GE(r.status, 0) << "allocation " << n;
        EXPECT_EQ(r.status & 4, 0) << "blocks leaked with allocation " << n << " failing";
        if ((r.status & 1) == 0) {
            stored++;
            EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=" + dest + "\n\n") << n;
            EXPECT_TRUE(test::read_file(dest) == data) << "allocation " << n;
        } else {
            EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok\n\n") << n;
            EXPECT_FALSE(test::file_exists(dest)) << "allocation " << n;
        }
        unlink(dest.c_str());
        EXPECT_TRUE(new_spool_files().empty()) << "allocation " << n;
        if (!(r.status & 2)) {
            EXPECT_EQ(r.status & 1, 0); // without a failure, stored
            EXPECT_GT(n, 10);
            return;
        }
    }
    ADD_FAILURE() << "no end to the walk";
}

// A boundary too long for the spool's own small pattern buffer: the
// pattern's allocation is walked too.  The part is whole or not stored.
TEST_F(OutOfMemory, SpoolWithALongBoundary)
{
    const std::string b = "--" + std::string(200, 'b');
    std::string input = "data\r\n" + b + "\r\nrest\n";
    long steps = walk([&](long n) {
        FILE *in = fmemopen(&input[0], input.size(), "rb");
        fa::fail_nth(n);
        char *path = cgi_spool_part(in, b.c_str());
        bool hit = fa::failed();
        fa::fail_nth(0);
        std::fclose(in);
        EXPECT_TRUE(path || hit) << "allocation " << n;
        if (path) {
            EXPECT_EQ(test::read_file(path), "data") << "allocation " << n;
            unlink(path);
            std::free(path);
        }
        EXPECT_TRUE(new_spool_files().empty()) << "allocation " << n;
        return hit;
    });
    EXPECT_GE(steps, 2);
}

TEST_F(OutOfMemory, UrlEncodedReader)
{
    std::string pairs = "a=1&b=2&a=3&c+d=%41%42&e=&=f&g&h=1;i=2";
    for (int i = 0; i < 12; i++)
        pairs += "&n" + std::to_string(i) + "=" + std::to_string(i);
    std::string length = std::to_string(pairs.size());
    std::string lines = "a=1\nb=2&a=3\n" + std::string(250, 'x') + "=long\nlast=line";
    const Source sources[] = {
        {"GET", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", pairs.c_str()}}, ""},
        {"POST", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length.c_str()}}, pairs + "\nrest"},
        {"console", {}, lines},
    };
    for (const auto &s : sources) {
        auto read = [&](long n, bool &hit) {
            test::Env env({{"REQUEST_METHOD", nullptr},
                           {"CONTENT_TYPE", nullptr},
                           {"QUERY_STRING", nullptr},
                           {"CONTENT_LENGTH", nullptr}});
            for (const auto &e : s.env)
                setenv(e.first, e.second, 1);
            test::set_stdin(s.input);
            cgi_request *req = nullptr;
            test::capture_stdout([&] { // the console prompt
                fa::fail_nth(n);
                req = cgi_read_form();
                hit = fa::failed();
                fa::fail_nth(0);
            });
            return req;
        };
        bool hit;
        cgi_request *full = read(0, hit);
        ASSERT_NE(full, nullptr) << s.what;
        const std::string all = test::describe(full);
        EXPECT_GE(test::entries(full).size(), 4u) << s.what;
        cgi_free_request(full);
        long steps = walk([&](long n) {
            cgi_request *req = read(n, hit);
            // Null, or (a failed index only slows the search) the whole result.
            if (req || !hit) {
                EXPECT_EQ(test::describe(req), all) << s.what << ", allocation " << n;
            }
            cgi_free_request(req);
            return hit;
        });
        EXPECT_GT(steps, 20) << s.what;
    }
}

// The list itself or its growth failing gives null; anything else gives the
// cookies appended before it, whole.
TEST_F(OutOfMemory, CookieReader)
{
    std::string header = "$Version=1; a=1; $Path=/; b=2; $Domain=d; c=\"x;y\"; $Version=2; d=4; e";
    for (int i = 0; i < 6; i++)
        header += ", k" + std::to_string(i) + "=" + std::to_string(i) + "; $Path=/p";
    const std::pair<std::string, long> headers[] = {
        {header, 30},
        {"$Version=1; a=1; b=\"2\"; $Path=/p; $Version=2; $Domain=d; c=3; $Path=/q; $Version=4; d", 10},
        {"$Version=1; $Version=2; a=1", 4}, // the first record's own version replaced
    };
    for (const auto &h : headers) {
        test::Env env({{"HTTP_COOKIE", h.first.c_str()}});
        cgi_request req{}; // cgi_free_request would free the record itself
        req.cookies = cgi_read_cookies();
        ASSERT_NE(req.cookies, nullptr);
        const std::string all = test::describe(&req);
        ostrel::free_cookies(req.cookies);
        long steps = walk([&](long n) {
            fa::fail_nth(n);
            req.cookies = cgi_read_cookies();
            char call = fa::failed_call();
            fa::fail_nth(0);
            std::string got = test::describe(&req);
            if (!call) {
                EXPECT_EQ(got, all) << n;
            } else if (n == 1 || call == 'r') {
                EXPECT_EQ(req.cookies, nullptr) << n;
            } else {
                EXPECT_NE(req.cookies, nullptr) << n;
                EXPECT_TRUE(got == "no cookies\n" || (got.size() < all.size() && all.compare(0, got.size(), got) == 0))
                    << "allocation " << n << ": " << got;
            }
            ostrel::free_cookies(req.cookies);
            return call != 0;
        });
        EXPECT_GT(steps, h.second) << h.first;
    }
}

TEST_F(OutOfMemory, WholeRequestAndNameLists)
{
    test::Env env({{"REQUEST_METHOD", "GET"},
                   {"QUERY_STRING", "a=1&b=2&c=3"},
                   {"HTTP_COOKIE", "x=1; y=2"},
                   {"CONTENT_TYPE", nullptr}});
    walk([&](long n) {
        fa::fail_nth(n);
        cgi_request *req = cgi_read_request();
        bool hit = fa::failed();
        fa::fail_nth(0);
        if (req) { // cookies may be missing, the variables are whole
            const std::string vars = "var a=1\nvar b=2\nvar c=3\n", got = test::describe(req);
            EXPECT_TRUE(got == vars + "cookie x=1\ncookie y=2\n" ||
                        (hit && (got == vars || got == vars + "no cookies\n" || got == vars + "cookie x=1\n")))
                << n << ": " << got;
        } else {
            EXPECT_TRUE(hit);
        }
        cgi_free_request(req);
        return hit;
    });

    cgi_request *req = cgi_read_request();
    ASSERT_NE(req, nullptr);
    // A hand-made upload list: the name lists need no spool files.
    req->uploads = static_cast<cgi_upload **>(std::calloc(3, sizeof *req->uploads));
    for (int i = 0; i < 2; i++) {
        cgi_upload *u = static_cast<cgi_upload *>(std::calloc(1, sizeof *u));
        u->name = static_cast<char *>(std::calloc(2, 1));
        u->name[0] = i ? 'g' : 'f';
        req->uploads[i] = u;
    }
    using Lister = char **(*)(const cgi_request *);
    const std::pair<Lister, std::vector<std::string>> listers[] = {
        {cgi_variable_names, {"a", "b", "c"}},
        {cgi_upload_names, {"f", "g"}},
        {cgi_cookie_names, {"x", "y"}},
    };
    for (const auto &l : listers) {
        long steps = walk([&](long n) {
            fa::fail_nth(n);
            char **names = l.first(req);
            bool hit = fa::failed();
            fa::fail_nth(0);
            EXPECT_EQ(names == nullptr, hit) << n;
            if (names) {
                EXPECT_EQ(test::names(names), l.second);
            }
            return hit;
        });
        EXPECT_EQ(steps, static_cast<long>(l.second.size()) + 1);
    }
    cgi_free_request(req);
}

TEST_F(OutOfMemory, ResponseOperations)
{
    auto header = [] { return test::written(ostrel::emit_header); };
    auto reset = [] { // the release of a request clears the response state
        cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
    };
    long steps = walk([&](long n) {
        reset();
        EXPECT_EQ(cgi_set_header("X-One", "1"), 1);
        const std::string one = header();
        fa::fail_nth(n);
        int ok = cgi_set_header("X-Two", "2\r\nX-Evil: 1");
        bool hit = fa::failed();
        fa::fail_nth(0);
        EXPECT_EQ(ok, !hit);
        // Failed, the lines recorded so far stay.
        EXPECT_EQ(header(), ok ? "Content-type: text/html\r\nX-One: 1\r\nX-Two: 2\r\n\r\n" : one);
        reset();
        return hit;
    });
    EXPECT_EQ(steps, 1);
    steps = walk([&](long n) {
        reset();
        EXPECT_EQ(cgi_set_type("text/plain"), 1);
        fa::fail_nth(n);
        int ok = cgi_set_type("image/png\r\nX-Evil: 1");
        bool hit = fa::failed();
        fa::fail_nth(0);
        EXPECT_EQ(ok, !hit);
        // Failed, the type is unset: the default.
        EXPECT_EQ(header(), ok ? "Content-type: image/png\r\n\r\n" : "Content-type: text/html\r\n\r\n");
        reset();
        return hit;
    });
    EXPECT_EQ(steps, 1);
    reset();
    for (const char *text : {"plain", "<a href=\"x\">&amp;</a>"}) {
        steps = walk([&](long n) {
            fa::fail_nth(n);
            char *escaped = cgi_escape_html(text);
            bool hit = fa::failed();
            fa::fail_nth(0);
            EXPECT_EQ(escaped == nullptr, hit);
            if (escaped) {
                EXPECT_STREQ(escaped, text[0] == 'p' ? "plain" : "&lt;a href=\"x\"&gt;&amp;amp;&lt;/a&gt;");
            }
            std::free(escaped);
            return hit;
        });
        EXPECT_EQ(steps, 1);
    }
}

} // namespace
