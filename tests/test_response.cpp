// Header block, redirect page and HTML escaping, compared byte for byte.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstdlib>
#include <string>

namespace {

// The response state is process-wide: releasing any request clears it.
void clear_state() { cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request)))); }

std::string header()
{
    return test::written([](FILE *out) { ostrel::emit_header(out); });
}
std::string redirect(const char *url)
{
    return test::written([url](FILE *out) { ostrel::redirect(out, url); });
}

std::string escape(const char *text)
{
    char *e = cgi_escape_html(text);
    std::string s = e ? e : "<null>";
    std::free(e);
    return s;
}

// The redirect answer, its Content-length counted here.
std::string page(const std::string &head_url, const std::string &page_url)
{
    std::string body = "<html>\n<body>\nThe page has been moved to <a href=\"" + page_url + "\">" + page_url +
        "</a>\n</body>\n</html>\n";
    return "Content-type: text/html\r\nContent-length: " + std::to_string(body.size()) +
        "\r\nStatus: 302 Temporal Relocation\r\nLocation: " + head_url + "\r\n\r\n" + body;
}

class Response : public ::testing::Test {
protected:
    void SetUp() override { clear_state(); }
    void TearDown() override { clear_state(); }
};

TEST_F(Response, HeaderLinesInOrderAndCut)
{
    const char *lines[][3] = {
        {"X-A", "1", "X-A: 1"},
        {"X-A", "2: b c", "X-A: 2: b c"}, // same name twice: two lines
        {"X-B", "v\r\nSet-Cookie: x", "X-B: v"},
        {"X-C", "\nrest", "X-C: "},     // empty value part
        {"X-D:E F", "v", "X-D: v"},     // name cut at the colon
        {"X E", "v", "X: v"},           // and at the space
        {"\r\nSet-Cookie", "v", ": v"}, // empty name part
        {"X\tT", "v", "X\tT: v"},       // a tab stays
    };
    std::string block = "Content-type: text/html\r\n";
    for (const auto &l : lines) {
        EXPECT_EQ(cgi_set_header(l[0], l[1]), 1) << l[0];
        block += std::string(l[2]) + "\r\n";
    }
    EXPECT_EQ(header(), block + "\r\n");
}

TEST_F(Response, EmptyOrNullArgumentsChangeNothing)
{
    auto refused = [] {
        EXPECT_EQ(cgi_set_header("", "v"), 0);
        EXPECT_EQ(cgi_set_header("X", ""), 0);
        EXPECT_EQ(cgi_set_header(nullptr, "v"), 0);
        EXPECT_EQ(cgi_set_header("X", nullptr), 0);
        EXPECT_EQ(cgi_set_type(""), 0);
        EXPECT_EQ(cgi_set_type(nullptr), 0);
    };
    refused();
    EXPECT_EQ(header(), "Content-type: text/html\r\n\r\n"); // 27 bytes
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    refused();
    EXPECT_EQ(header(), "Content-type: text/plain\r\n\r\n");
}

TEST_F(Response, TypeIsReplacedAndCut)
{
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    ASSERT_EQ(cgi_set_type("image/png\r\nLocation: /evil"), 1);
    ASSERT_EQ(cgi_set_header("X", "1"), 1);
    EXPECT_EQ(header(), "Content-type: image/png\r\nX: 1\r\n\r\n");
    EXPECT_EQ(cgi_set_type("\ntext/html"), 1);
    EXPECT_EQ(header(), "Content-type: \r\nX: 1\r\n\r\n");
}

TEST_F(Response, EmitKeepsStateAndFreeRequestClearsIt)
{
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    ASSERT_EQ(cgi_set_header("X", "1"), 1);
    const std::string block = "Content-type: text/plain\r\nX: 1\r\n\r\n";
    EXPECT_EQ(header(), block);
    EXPECT_EQ(header(), block); // writing does not consume
    cgi_free_request(nullptr);
    EXPECT_EQ(header(), block);
    clear_state();
    EXPECT_EQ(header(), "Content-type: text/html\r\n\r\n");
    ASSERT_EQ(cgi_set_header("Y", "2"), 1); // a fresh start after the release
    EXPECT_EQ(header(), "Content-type: text/html\r\nY: 2\r\n\r\n");
}

// The URL ends at its first CR or LF, so it cannot add header lines, and is
// escaped in the page; recorded type and header lines are not used.
TEST_F(Response, RedirectPage)
{
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    ASSERT_EQ(cgi_set_header("X", "1"), 1);
    const char *cases[][3] = {
        {"http://a/b", "http://a/b", "http://a/b"},
        {"/ok\r\nSet-Cookie: s=1\r\n\r\n<script>", "/ok", "/ok"},
        {"/a\nb", "/a", "/a"},
        {"/a\"><script>x&y</script>", "/a\"><script>x&y</script>", "/a&quot;&gt;&lt;script&gt;x&amp;y&lt;/script&gt;"},
        {"/q?a=1&b=\"2\"", "/q?a=1&b=\"2\"", "/q?a=1&amp;b=&quot;2&quot;"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(redirect(c[0]), page(c[1], c[2])) << c[0];
    // Nothing, or cut to nothing: nothing at all is written.
    for (const char *url : {"", "\r\nSet-Cookie: s=1", "\n"})
        EXPECT_EQ(redirect(url), "") << url;
    EXPECT_EQ(redirect(nullptr), "");
    EXPECT_EQ(header(), "Content-type: text/plain\r\nX: 1\r\n\r\n");
}

TEST(EscapeHtml, ReplacesOnlyAmpersandAndAngleBrackets)
{
    char *empty = cgi_escape_html("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);

    const char plain[] = "a \"b\" 'c' \xc3\xa4\xff";
    char *copy = cgi_escape_html(plain);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, plain);
    EXPECT_STREQ(copy, plain);
    std::free(copy);

    EXPECT_EQ(escape("&<>"), "&amp;&lt;&gt;");
    EXPECT_EQ(escape("x<\"a&b\">\x80"), "x&lt;\"a&amp;b\"&gt;\x80");
}

// The public writers over the process's own streams: the page and the
// prompt on standard output, the trace on standard error.
TEST_F(Response, PublicWritersUseStandardOutputAndError)
{
    test::Env env{{"CONTENT_TYPE", nullptr}, {"REQUEST_METHOD", nullptr}, {"CONTENT_LENGTH", nullptr}};
    test::set_stdin("a=1\n");
    cgi_request *req = nullptr;
    std::string err;
    std::string out = test::capture_stdout([&] {
        cgi_emit_header();
        cgi_redirect("/x");
        req = cgi_read_form();
        cgi_debug_setup(1, 3);
        cgi_trace(1, "page %d", 1);
        err = test::capture_stderr([] {
            cgi_debug_setup(1, 1);
            cgi_trace(1, "error %d", 2);
        });
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(out,
              "Content-type: text/html\r\n\r\n" + page("/x", "/x") +
                  "(offline mode: enter name=value pairs on standard input)\n<pre>\npage 1\n</pre>\n");
    EXPECT_EQ(test::describe(req), "var a=1\n");
    EXPECT_EQ(err, "error 2\n");
    cgi_free_request(req);
}

} // namespace
