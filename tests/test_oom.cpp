// Out of memory at every allocation of an operation, one at a time: the n-th
// allocation fails, for n = 1, 2, ... until the operation runs without
// reaching it.  Each outcome is one that the operation may give for lack of
// memory, nothing leaks, and no spool file stays behind.
#include "cgi/internal.h"
#include "handler/upload.h"
#include "tests/failing_alloc.h"
#include "tests/support.h"

#include <cstring>
#include <functional>

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
    char dest[FAX_PATH_SIZE] = "/tmp/";
    auto result = fa::with_failing_alloc(std::atol(n), [&] {
        cgi_request *req = cgi_read_request();
        int stored = store_upload(req, dest);
        cgi_free_request(req);
        return stored;
    });
    write_answer(stdout, result.value, dest);
    std::fflush(stdout);
    _exit(result.value | (result.failed ? 2 : 0) | (fa::live() > start + 1 ? 4 : 0));
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

// The line reader's buffer lives for the process: grown here, it takes no
// allocation in the walks (its own failures are walked in a fresh child
// process, by the program walk).
class OutOfMemory : public test::SpoolWatch {
protected:
    void SetUp() override
    {
        test::SpoolWatch::SetUp();
        test::Bytes line(std::string(4000, 'x') + "\n");
        ASSERT_NE(cgi_read_line(line), nullptr);
    }
};

using Request = fa::Outcome<cgi_request *>;

TEST_F(OutOfMemory, MultipartReader)
{
    std::string body = multipart_request(), length = std::to_string(body.size());
    auto read = [&] {
        test::Bytes in(body);
        return ostrel::read_form(in, {multipart_type.c_str(), "POST", length.c_str(), nullptr},
                                 ostrel::default_limits(), nullptr);
    };
    cgi_request *full = read();
    ASSERT_NE(full, nullptr);
    const std::vector<std::string> all = test::entries(full);
    ASSERT_EQ(all.size(), 14u); // 12 variables, then 2 uploads
    ASSERT_EQ(all[12].compare(0, 7, "upload "), 0);
    cgi_free_request(full);

    fa::walk(read, [&](long n, const Request &r) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        if (!r.failed) {
            EXPECT_TRUE(test::entries(r.value) == all);
        } else if (r.value) {
            // A part, a line or a content type may be lost; nothing else.
            std::vector<std::string> got = test::entries(r.value);
            int lost = losses(got, all);
            EXPECT_GE(lost, 0) << "an entry from nowhere";
            EXPECT_LE(lost, 1);
            size_t uploads = 0;
            for (const auto &e : got)
                if (e.compare(0, 7, "upload ") == 0) { // a part is whole or gone
                    uploads++;
                    EXPECT_TRUE(data_of(e) == data_of(all[e.compare(0, 13, "upload extra ") == 0 ? 13 : 12]));
                }
            EXPECT_EQ(new_spool_files().size(), uploads) << "spool files of dropped parts";
        } else {
            EXPECT_TRUE(new_spool_files().empty());
        }
        cgi_free_request(r.value);
        EXPECT_TRUE(new_spool_files().empty());
    });
}

// Whatever gives way, the failed allocation is traced at level 1.
TEST_F(OutOfMemory, EveryFailureIsTraced)
{
    std::string body = multipart_request(), length = std::to_string(body.size());
    auto reset = [] { // the release of a request clears the header lines
        cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
    };
    const std::function<void()> ops[] = {
        [&] {
            test::Bytes in(body);
            cgi_free_request(ostrel::read_form(in, {multipart_type.c_str(), "POST", length.c_str(), nullptr},
                                               ostrel::default_limits(), nullptr));
        },
        [] {
            test::Bytes in("a=1&b=2&a=3");
            cgi_free_request(ostrel::read_form(in, {nullptr, "POST", "11", nullptr}));
        },
        [] { ostrel::free_cookies(ostrel::read_cookies("$Version=1; a=1; $Path=/; b=2")); },
        [] { std::free(cgi_escape_html("<a>")); },
        [] { cgi_set_header("X-Trace", "1"); }, // grows the lines' one block
    };
    cgi_debug_setup(1, 1);
    for (const auto &op : ops) {
        SCOPED_TRACE(&op - ops);
        reset();
        if (&op == &ops[4])
            cgi_set_header("X-First", "1");
        fa::walk([&] { return test::capture_stderr(op); },
                 [](long n, const fa::Outcome<std::string> &r) {
                     if (r.failed) {
                         EXPECT_NE(r.value.find("Out of memory: "), std::string::npos) << n << ": " << r.value;
                     }
                 });
    }
    cgi_debug_setup(0, 1);
    reset();
}

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
    for (long n = 1; n < 1000; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        env["OSTREL_OOM_PROGRAM"] = std::to_string(n);
        test::Run r = test::run_program(self, env, body);
        ASSERT_GE(r.status, 0);
        EXPECT_EQ(r.status & 4, 0) << "blocks leaked";
        if ((r.status & 1) == 0) {
            EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=" + dest + "\n\n");
            EXPECT_TRUE(test::read_file(dest) == data);
        } else {
            EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok\n\n");
            EXPECT_FALSE(test::file_exists(dest));
        }
        unlink(dest.c_str());
        EXPECT_TRUE(new_spool_files().empty());
        if (!(r.status & 2)) {
            EXPECT_EQ(r.status & 1, 0); // without a failure, stored
            EXPECT_GT(n, 1);
            return;
        }
    }
    ADD_FAILURE() << "no end to the walk";
}

// The spool's own allocations: its pattern's, for a boundary too long for
// the 128 bytes it has on the stack (125 bytes with CR LF and the NUL fit),
// and its output buffer's, whose stand-in on the stack then takes stretches
// of every length (a stream buffer of 600 bytes makes them shorter than the
// head that aligns a page; one of 4000 fills it to its last byte).  The
// part is whole or not stored, and without the output buffer alone it is
// stored all the same.
TEST_F(OutOfMemory, SpoolsOwnAllocations)
{
    const struct {
        size_t boundary, data, buffer; // lengths; stream buffer 0: the default
    } cases[] = {{124, 4, 0}, {125, 4, 0}, {126, 4, 0}, {127, 4, 0}, {200, 4, 0}, {5, 9000, 600}, {5, 4097, 4000}};
    for (const auto &c : cases) {
        SCOPED_TRACE("boundary " + std::to_string(c.boundary) + ", data " + std::to_string(c.data));
        const std::string b = "--" + std::string(c.boundary - 2, 'b');
        std::string data;
        while (data.size() < c.data)
            data += data.size() % 97 == 96 ? '\r' : 'd';
        std::string input = data + "\r\n" + b + "\r\nrest\n";
        std::vector<char> buffer(c.buffer + 1);
        auto spool = [&] {
            test::Bytes in(input);
            if (c.buffer)
                setvbuf(in, buffer.data(), _IOFBF, c.buffer);
            return cgi_spool_part(in, b.c_str());
        };
        int stored_despite_failure = 0;
        fa::walk(spool, [&](long n, const fa::Outcome<char *> &r) {
            EXPECT_TRUE(r.value || r.failed) << "allocation " << n;
            if (r.value) {
                EXPECT_TRUE(test::read_file(r.value) == data) << "allocation " << n;
                stored_despite_failure += r.failed != 0;
                unlink(r.value);
                std::free(r.value);
            }
            EXPECT_TRUE(new_spool_files().empty()) << "allocation " << n;
        });
        EXPECT_EQ(stored_despite_failure, 1);
    }
}

// A line that outgrows the line buffer as memory runs out: what was
// gathered comes back rather than nothing.
TEST_F(OutOfMemory, LineReaderKeepsWhatItGathered)
{
    std::string line(ostrel::line_buffer_capacity() + 1000, 'x');
    test::Bytes in(line + "\n");
    auto r = fa::with_failing_alloc(1, [&] { return cgi_read_line(in); });
    ASSERT_EQ(r.failed, 'r');
    ASSERT_NE(r.value, nullptr);
    EXPECT_LT(std::strlen(r.value), line.size());
    EXPECT_EQ(line.compare(0, std::strlen(r.value), r.value), 0);
}

// URL-encoded input from each source: any failure gives null, or (a failed
// index only slows the search) the whole result.
TEST_F(OutOfMemory, UrlEncodedReader)
{
    std::string pairs = "a=1&b=2&a=3&c+d=%41%42&e=&=f&g&h=1;i=2";
    for (int i = 0; i < 12; i++)
        pairs += "&n" + std::to_string(i) + "=" + std::to_string(i);
    std::string length = std::to_string(pairs.size());
    std::string lines = "a=1\nb=2&a=3\n" + std::string(250, 'x') + "=long\nlast=line";
    const struct {
        ostrel::FormInput vars;
        std::string input;
    } sources[] = {
        {{nullptr, "GET", nullptr, pairs.c_str()}, ""},
        {{nullptr, "POST", length.c_str(), nullptr}, pairs + "\nrest"},
        {{nullptr, nullptr, nullptr, nullptr}, lines}, // the console
    };
    for (const auto &s : sources) {
        SCOPED_TRACE(s.vars.method ? s.vars.method : "console");
        auto read = [&] {
            test::Bytes in(s.input);
            cgi_request *req = nullptr;
            test::capture_stdout([&] { req = ostrel::read_form(in, s.vars, ostrel::default_limits(), nullptr); });
            return req;
        };
        cgi_request *full = read();
        ASSERT_NE(full, nullptr);
        const std::string all = test::describe(full);
        EXPECT_GE(test::entries(full).size(), 4u);
        cgi_free_request(full);
        fa::walk(read, [&](long n, const Request &r) {
            if (r.value || !r.failed) {
                EXPECT_EQ(test::describe(r.value), all) << "allocation " << n;
            }
            cgi_free_request(r.value);
        });
    }
}

// The list itself or its growth failing gives null; anything else gives the
// cookies appended before it, whole.
TEST_F(OutOfMemory, CookieReader)
{
    std::string header = "$Version=1; a=1; $Path=/; b=2; $Domain=d; c=\"x;y\"; $Version=2; d=4; e";
    for (int i = 0; i < 6; i++)
        header += ", k" + std::to_string(i) + "=" + std::to_string(i) + "; $Path=/p";
    const std::string headers[] = {
        header, "$Version=1; a=1; b=\"2\"; $Path=/p; $Version=2; $Domain=d; c=3; $Path=/q; $Version=4; d",
        "$Version=1; $Version=2; a=1", // the first record's own version replaced
    };
    for (const auto &h : headers) {
        SCOPED_TRACE(h);
        auto read = [&] { return ostrel::read_cookies(h.c_str()); };
        cgi_request req{}; // cgi_free_request would free the record itself
        req.cookies = read();
        ASSERT_NE(req.cookies, nullptr);
        const std::string all = test::describe(&req);
        ostrel::free_cookies(req.cookies);
        fa::walk(read, [&](long n, const fa::Outcome<cgi_cookie **> &r) {
            req.cookies = r.value;
            std::string got = test::describe(&req);
            if (!r.failed) {
                EXPECT_EQ(got, all) << n;
            } else if (n == 1 || r.failed == 'r') {
                EXPECT_EQ(r.value, nullptr) << n;
            } else {
                EXPECT_NE(r.value, nullptr) << n;
                EXPECT_TRUE(got == "no cookies\n" || (got.size() < all.size() && all.compare(0, got.size(), got) == 0))
                    << "allocation " << n << ": " << got;
            }
            ostrel::free_cookies(r.value);
        });
    }
}

// The whole request reads the form, then the cookies: the variables are
// whole, the cookies may be missing.
TEST_F(OutOfMemory, WholeRequest)
{
    auto read = [] {
        test::Bytes none("");
        return ostrel::add_cookies(ostrel::read_form(none, {nullptr, "GET", nullptr, "a=1&b=2&c=3"}), "x=1; y=2");
    };
    fa::walk(read, [](long n, const Request &r) {
        if (r.value) {
            const std::string vars = "var a=1\nvar b=2\nvar c=3\n", got = test::describe(r.value);
            EXPECT_TRUE(got == vars + "cookie x=1\ncookie y=2\n" ||
                        (r.failed && (got == vars || got == vars + "no cookies\n" || got == vars + "cookie x=1\n")))
                << n << ": " << got;
        } else {
            EXPECT_TRUE(r.failed) << n;
        }
        cgi_free_request(r.value);
    });
}

TEST_F(OutOfMemory, NameLists)
{
    test::Bytes none("");
    cgi_request *req = ostrel::read_form(none, {nullptr, "GET", nullptr, "a=1&b=2&c=3"});
    ASSERT_NE(req, nullptr);
    req->cookies = ostrel::read_cookies("x=1; y=2");
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
    for (const auto &l : listers)
        fa::walk([&] { return l.first(req); },
                 [&](long n, const fa::Outcome<char **> &r) {
                     EXPECT_EQ(r.value == nullptr, r.failed != 0) << n;
                     if (r.value) {
                         EXPECT_EQ(test::names(r.value), l.second);
                     }
                 });
    cgi_free_request(req);
}

TEST_F(OutOfMemory, ResponseOperations)
{
    auto header = [] { return test::written(ostrel::emit_header); };
    auto reset = [] { // the release of a request clears the response state
        cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
    };
    // Failed, the lines recorded so far stay.
    reset();
    ASSERT_EQ(cgi_set_header("X-One", "1"), 1);
    const std::string one = header();
    fa::walk([] { return cgi_set_header("X-Two", "2\r\nX-Evil: 1"); },
             [&](long n, const fa::Outcome<int> &r) {
                 EXPECT_EQ(r.value, !r.failed) << n;
                 EXPECT_EQ(header(), r.value ? "Content-type: text/html\r\nX-One: 1\r\nX-Two: 2\r\n\r\n" : one);
                 reset();
                 EXPECT_EQ(cgi_set_header("X-One", "1"), 1);
             });
    // Failed, the type is unset: the default.
    reset();
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    fa::walk([] { return cgi_set_type("image/png\r\nX-Evil: 1"); },
             [&](long n, const fa::Outcome<int> &r) {
                 EXPECT_EQ(r.value, !r.failed) << n;
                 EXPECT_EQ(header(), r.value ? "Content-type: image/png\r\n\r\n" : "Content-type: text/html\r\n\r\n");
                 reset();
                 EXPECT_EQ(cgi_set_type("text/plain"), 1);
             });
    reset();
    for (const char *text : {"plain", "<a href=\"x\">&amp;</a>"})
        fa::walk([&] { return cgi_escape_html(text); },
                 [&](long n, const fa::Outcome<char *> &r) {
                     EXPECT_EQ(r.value == nullptr, r.failed != 0) << n;
                     if (r.value) {
                         EXPECT_STREQ(r.value, text[0] == 'p' ? "plain" : "&lt;a href=\"x\"&gt;&amp;amp;&lt;/a&gt;");
                     }
                     std::free(r.value);
                 });
}

} // namespace
