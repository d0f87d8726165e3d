// Cookie reader, cookie lookups and their release.
#include "tests/support.h"

#include "cgi/internal.h"

#include <chrono>
#include <cstring>

namespace {

// ---- Helpers --------------------------------------------------------------

// A request record holding only the cookies of one header.
struct CookieRequest {
    cgi_request *req;
    explicit CookieRequest(const char *header) : req(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))))
    {
        if (req)
            req->cookies = ostrel::read_cookies(header);
    }
    ~CookieRequest() { cgi_free_request(req); }
    CookieRequest(const CookieRequest &) = delete;
    CookieRequest &operator=(const CookieRequest &) = delete;
};

// The cookies of one header (null: not set), as test::describe gives them.
std::string describe(const char *header)
{
    CookieRequest r(header);
    return test::describe(r.req);
}

std::string trace_of(const std::function<void()> &fn)
{
    cgi_debug_setup(1, 1);
    std::string out = test::capture_stderr(fn);
    cgi_debug_setup(0, 1);
    return out;
}

// ---- Reading the Cookie header ----------------------------------------------------

TEST(ReadCookies, HeaderTable)
{
    const std::pair<const char *, const char *> rows[] = {
        // Items and their separators.
        {nullptr, ""},
        {"", "no cookies\n"},
        {"   ", "no cookies\n"},
        {";;,", "no cookies\n"},
        {"a=1; b=2", "cookie a=1\ncookie b=2\n"},
        {"a=1, b=2", "cookie a=1\ncookie b=2\n"},
        {"a=1 ; b=2", "cookie a=1 \ncookie b=2\n"},
        {"   a=1", "cookie a=1\n"},
        {"a = = 1", "cookie a=1\n"},
        {"a b=1", "cookie a=b=1\n"},
        {"a=b=c", "cookie a=b=c\n"},
        {"a", "cookie a=\n"},
        {"a; b=2", "cookie a=\ncookie b=2\n"},
        {"=x; b=2", "cookie b=2\n"},
        {"x=1;x=2", "cookie x=1\ncookie x=2\n"},
        {"a\t=1", "cookie a\t=1\n"},
        // Quoted values.
        {"a=\"x;y\"; b=2", "cookie a=x;y\ncookie b=2\n"},
        {"a=\"x;y\"z; b=2", "cookie a=x;y\ncookie z=\ncookie b=2\n"},
        {"a=\"xyz", "cookie a=xyz\n"},
        {"a=\"\"", "cookie a=\n"},
        // Attributes go to the last cookie, or to a nameless record that the
        // next name fills; cookies after the first take its version string.
        {"$Version=1; a=1; $Path=/", "cookie a=1 $Version=1 $Path=/\n"},
        {"$Version=1; a=1; b=2; $Domain=d", "cookie a=1 $Version=1\ncookie b=2 $Version=1 (shared) $Domain=d\n"},
        {"a=1; $Version=1; b=2", "cookie a=1 $Version=1\ncookie b=2 $Version=1 (shared)\n"},
        {"a=1; b=2; $Version=1; c=3", "cookie a=1\ncookie b=2 $Version=1\ncookie c=3\n"},
        {"$VERSION=2; a=1", "cookie a=1 $Version=2\n"},
        {"$Versions=2; a=1", "cookie a=1 $Version=2\n"},
        {"$Pat=1; a=2", "cookie a=2\n"},
        {"$Port=80", "no cookies\n"},
        {"$Path=/", "cookie (none)=(none) $Path=/\n"},
        {"a=1; $Path=; b=2", "cookie a=1 $Path=\ncookie b=2\n"},
        {"a=1; $Path=/; $Path=/y", "cookie a=1 $Path=/y\n"},
        // Replaced attributes and versions of later cookies: the reader frees
        // what it replaces, never the shared version; the release frees the
        // rest once.  The sanitizer build checks that nothing leaks and
        // nothing is freed twice.
        {"$Version=1; $version=2; $Path=/p; $PATH=/q; $Domain=d; $domain=e; a=1",
         "cookie a=1 $Version=2 $Path=/q $Domain=e\n"},
        {"$Version=1; a=1; $Version=2; b=2", "cookie a=1 $Version=2\ncookie b=2 $Version=2 (shared)\n"},
        {"$Version=1; a=1; b=2; $Version=2; $Version=3; c=3",
         "cookie a=1 $Version=1\ncookie b=2 $Version=3\ncookie c=3 $Version=1 (shared)\n"},
        {"a=1; b=2; $Version=3; $Version=4; $Domain=x; $Domain=y", "cookie a=1\ncookie b=2 $Version=4 $Domain=y\n"},
        {"$Path=/; $Path=/x; $Version=1", "cookie (none)=(none) $Version=1 $Path=/x\n"},
        // Malformed items.
        {"a=\"unclosed; b=2, c", "cookie a=unclosed; b=2, c\n"},
        {"\"", "cookie \"=\n"},
        {"a=\"", "cookie a=\n"},
        {" ;, ; ,,; ", "no cookies\n"},
        {"$; $=1; $$=2; $x; $Versio=1; $Domai=1; a=1", "cookie a=1\n"},
        {"a$=1; $", "cookie a$=1\n"},
        {"\ta=1;\t", "cookie \ta=1\ncookie \t=\n"},
        {"a==\"q\"", "cookie a=q\n"},
        {"=", "no cookies\n"},
        {"$Version", "cookie (none)=(none) $Version=\n"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(describe(row.first), row.second) << (row.first ? row.first : "unset");
}

// Several megabytes of one kind of text each: parsed in one pass, no read
// past the end (the sanitizer build checks that), everything released.
TEST(ReadCookies, HugeHeaders)
{
    const size_t mb = 1u << 20;
    std::string value(8 * mb, 'v');
    cgi_cookie **list = ostrel::read_cookies(("a=" + value).c_str());
    ASSERT_TRUE(list && list[0] && !list[1]);
    EXPECT_EQ(std::strlen(list[0]->value), value.size());
    ostrel::free_cookies(list);

    list = ostrel::read_cookies(("a=\"" + value).c_str());
    ASSERT_TRUE(list && list[0] && !list[1]);
    EXPECT_EQ(std::strlen(list[0]->value), value.size());
    ostrel::free_cookies(list);

    for (const char *unit : {";", "$x=1;", "$", "   ", "=\"\""}) {
        std::string header;
        while (header.size() < 4 * mb)
            header += unit;
        EXPECT_EQ(describe(header.c_str()), "no cookies\n") << unit;
    }

    std::string paths;
    while (paths.size() < 4 * mb)
        paths += "$Path=/;";
    EXPECT_EQ(describe(paths.c_str()), "cookie (none)=(none) $Path=/\n");
}

TEST(ReadCookies, HundredThousandCookiesInLinearTime)
{
    const size_t n = 100000;
    std::string header;
    for (size_t i = 0; i < n; i++)
        header += "c" + std::to_string(i) + "=v" + std::to_string(i) + (i % 2 ? "; " : ",");
    header = "$Version=1; " + header;
    auto start = std::chrono::steady_clock::now();
    cgi_cookie **list = ostrel::read_cookies(header.c_str());
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(list, nullptr);
    size_t count = 0;
    while (list[count])
        count++;
    ASSERT_EQ(count, n);
    EXPECT_STREQ(list[n - 1]->name, "c99999");
    EXPECT_EQ(list[n - 1]->version, list[0]->version);
    ostrel::free_cookies(list);
    // Well under a second even with sanitizers; quadratic work would take minutes.
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

// ---- Lookups ----------------------------------------------------------------

TEST(GetCookie, FirstExactMatch)
{
    CookieRequest r("x=1;x=2;a");
    cgi_cookie *x = cgi_get_cookie(r.req, "x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x, r.req->cookies[0]);
    EXPECT_STREQ(x->value, "1");
    EXPECT_EQ(cgi_get_cookie(r.req, "X"), nullptr);
    EXPECT_EQ(cgi_get_cookie(r.req, "x "), nullptr);
    cgi_cookie *a = cgi_get_cookie(r.req, "a"); // empty value is still found
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->value, "");
    EXPECT_EQ(test::names(cgi_cookie_names(r.req)), (std::vector<std::string>{"x", "x", "a"}));
}

TEST(GetCookie, NamelessRecordIsNeverFoundOrListed)
{
    CookieRequest r("$Path=/; $Domain=d");
    ASSERT_NE(r.req->cookies[0], nullptr);
    EXPECT_EQ(cgi_get_cookie(r.req, ""), nullptr);
    EXPECT_EQ(cgi_get_cookie(r.req, "$Path"), nullptr);
    char **names = cgi_cookie_names(r.req);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    cgi_free_list(names);
}

TEST(GetCookie, NullAndEmptyLists)
{
    EXPECT_EQ(cgi_get_cookie(nullptr, "a"), nullptr);
    EXPECT_EQ(cgi_cookie_names(nullptr), nullptr);

    CookieRequest none(nullptr);
    ASSERT_EQ(none.req->cookies, nullptr);
    EXPECT_EQ(trace_of([&] { EXPECT_EQ(cgi_get_cookie(none.req, "a"), nullptr); }), "");
    EXPECT_EQ(cgi_cookie_names(none.req), nullptr);

    CookieRequest empty("");
    ASSERT_NE(empty.req->cookies, nullptr);
    EXPECT_EQ(trace_of([&] { EXPECT_EQ(cgi_get_cookie(empty.req, "a"), nullptr); }), "a not found\n\n");
    char **names = cgi_cookie_names(empty.req);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    cgi_free_list(names);
}

TEST(GetCookie, TracesEndInTheirOwnNewline)
{
    CookieRequest r("x=1;x=2; e");
    EXPECT_EQ(trace_of([&] { cgi_get_cookie(r.req, "x"); }), "x found as 1\n\n");
    EXPECT_EQ(trace_of([&] { cgi_get_cookie(r.req, "e"); }), "e found as \n\n");
    EXPECT_EQ(trace_of([&] { cgi_get_cookie(r.req, "X"); }), "X not found\n\n");
    EXPECT_EQ(test::capture_stderr([&] { cgi_get_cookie(r.req, "x"); }), ""); // level 0: silent
}

} // namespace
