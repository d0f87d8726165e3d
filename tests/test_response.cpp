// Header block, redirect page and HTML escaping, compared byte for byte.
#include "tests/support.h"

#include <cstdlib>
#include <string>

namespace {

// The response state is process-wide: releasing any request clears it.
void clear_state() { cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request)))); }

std::string header()
{
    return test::capture_stdout([] { cgi_emit_header(); });
}
std::string redirect(const char *url)
{
    return test::capture_stdout([url] { cgi_redirect(url); });
}

std::string escape(const char *text)
{
    char *e = cgi_escape_html(text);
    std::string s = e ? e : "<null>";
    std::free(e);
    return s;
}

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

TEST_F(Response, DefaultBlockIs27Bytes)
{
    EXPECT_EQ(header(), "Content-type: text/html\r\n\r\n");
    EXPECT_EQ(header().size(), 27u);
}

TEST_F(Response, HeaderLinesInOrderAndCut)
{
    EXPECT_EQ(cgi_set_header("X-A", "1"), 1);
    EXPECT_EQ(cgi_set_header("X-A", "2: b c"), 1); // same name twice: two lines
    EXPECT_EQ(cgi_set_header("X-B", "v\r\nSet-Cookie: x"), 1);
    EXPECT_EQ(cgi_set_header("X-C", "\nrest"), 1);       // empty value part
    EXPECT_EQ(cgi_set_header("X-D:E F", "v"), 1);        // name cut at the colon
    EXPECT_EQ(cgi_set_header("X E", "v"), 1);            // and at the space
    EXPECT_EQ(cgi_set_header("\r\nSet-Cookie", "v"), 1); // empty name part
    EXPECT_EQ(cgi_set_header("X\tT", "v"), 1);           // a tab stays
    EXPECT_EQ(header(),
              "Content-type: text/html\r\n"
              "X-A: 1\r\nX-A: 2: b c\r\nX-B: v\r\nX-C: \r\nX-D: v\r\nX: v\r\n: v\r\nX\tT: v\r\n"
              "\r\n");
}

TEST_F(Response, EmptyOrNullArgumentsChangeNothing)
{
    EXPECT_EQ(cgi_set_header("", "v"), 0);
    EXPECT_EQ(cgi_set_header("X", ""), 0);
    EXPECT_EQ(cgi_set_header(nullptr, "v"), 0);
    EXPECT_EQ(cgi_set_header("X", nullptr), 0);
    EXPECT_EQ(cgi_set_type(""), 0);
    EXPECT_EQ(cgi_set_type(nullptr), 0);
    EXPECT_EQ(header(), "Content-type: text/html\r\n\r\n");

    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    EXPECT_EQ(cgi_set_type(""), 0);
    EXPECT_EQ(cgi_set_type(nullptr), 0);
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

TEST_F(Response, RedirectPage)
{
    const std::string out = redirect("http://a/b"); // 10 bytes
    EXPECT_EQ(out, page("http://a/b", "http://a/b"));
    EXPECT_NE(out.find("Content-length: 93\r\n"), std::string::npos);
    EXPECT_EQ(out.size() - (out.find("\r\n\r\n") + 4), 93u);
    EXPECT_EQ(redirect(""), "");
    EXPECT_EQ(redirect(nullptr), "");
}

TEST_F(Response, RedirectUsesNoRecordedState)
{
    ASSERT_EQ(cgi_set_type("text/plain"), 1);
    ASSERT_EQ(cgi_set_header("X", "1"), 1);
    EXPECT_EQ(redirect("/x"), page("/x", "/x"));
    EXPECT_EQ(header(), "Content-type: text/plain\r\nX: 1\r\n\r\n");
}

TEST_F(Response, RedirectUrlCannotInjectHeadersOrMarkup)
{
    EXPECT_EQ(redirect("/ok\r\nSet-Cookie: s=1\r\n\r\n<script>"), page("/ok", "/ok"));
    EXPECT_EQ(redirect("/a\nb"), page("/a", "/a"));
    EXPECT_EQ(redirect("/a\"><script>x&y</script>"),
              page("/a\"><script>x&y</script>", "/a&quot;&gt;&lt;script&gt;x&amp;y&lt;/script&gt;"));
    // Content-length matches what follows the blank line.
    const std::string out = redirect("/q?a=1&b=\"2\"");
    const size_t body = out.size() - (out.find("\r\n\r\n") + 4);
    EXPECT_NE(out.find("Content-length: " + std::to_string(body) + "\r\n"), std::string::npos);
    // Cut to nothing: nothing at all is written.
    EXPECT_EQ(redirect("\r\nSet-Cookie: s=1"), "");
    EXPECT_EQ(redirect("\n"), "");
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
    EXPECT_EQ(escape("&<>").size(), 13u);
    EXPECT_EQ(escape("x<\"a&b\">\x80"), "x&lt;\"a&amp;b\"&gt;\x80");
}

} // namespace
