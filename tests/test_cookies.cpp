// Cookie reader, cookie lookups and their release.
#include "tests/support.h"

#include "cgi/internal.h"

#include <chrono>
#include <cstring>

// ---- Allocation failures --------------------------------------------------
// This program is linked with -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,
// --wrap=free: the calls of its own objects and of the library go through
// the wrappers below, so that a test can fail one chosen allocation and count
// the blocks that are still live.
extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
void __real_free(void *);
}

namespace faults {
bool armed = false;   // counting and failing only between arm() and disarm()
long fail_at = -1;    // index of the allocation that fails, -1 none
long calls = 0;       // allocations seen while armed
long live = 0;        // blocks allocated minus blocks freed while armed
char failed_kind = 0; // 'm', 'c' or 'r' for the call that failed, 0 none

void arm(long at)
{
    fail_at = at;
    calls = live = 0;
    failed_kind = 0;
    armed = true;
}
void disarm() { armed = false; }
// Stops counting for a while; nothing fails after resume().
void pause() { armed = false; }
void resume()
{
    fail_at = -1;
    armed = true;
}

bool fail_now(char kind)
{
    if (!armed || calls++ != fail_at)
        return false;
    failed_kind = kind;
    return true;
}
} // namespace faults

extern "C" void *__wrap_malloc(size_t n)
{
    if (faults::fail_now('m'))
        return nullptr;
    void *p = __real_malloc(n);
    if (p && faults::armed)
        faults::live++;
    return p;
}

extern "C" void *__wrap_calloc(size_t n, size_t size)
{
    if (faults::fail_now('c'))
        return nullptr;
    void *p = __real_calloc(n, size);
    if (p && faults::armed)
        faults::live++;
    return p;
}

extern "C" void *__wrap_realloc(void *old, size_t n)
{
    if (faults::fail_now('r'))
        return nullptr;
    void *p = __real_realloc(old, n);
    if (p && !old && faults::armed)
        faults::live++;
    return p;
}

extern "C" void __wrap_free(void *p)
{
    if (p && faults::armed)
        faults::live--;
    __real_free(p);
}

namespace {

// ---- Helpers --------------------------------------------------------------

cgi_cookie **read_cookies(const char *header)
{
    test::Env env{{"HTTP_COOKIE", header}};
    return cgi_read_cookies();
}

// A request record holding only the cookies of one header.
struct CookieRequest {
    cgi_request *req;
    explicit CookieRequest(const char *header)
        : req(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))))
    {
        if (req)
            req->cookies = read_cookies(header);
    }
    ~CookieRequest() { cgi_free_request(req); }
    CookieRequest(const CookieRequest &) = delete;
    CookieRequest &operator=(const CookieRequest &) = delete;
};

std::string field(const char *s) { return s ? '"' + std::string(s) + '"' : "null"; }

// One line per record: version, name, value, path, domain.
std::vector<std::string> describe(cgi_cookie **list)
{
    std::vector<std::string> lines;
    for (size_t i = 0; list && list[i]; i++) {
        const cgi_cookie *c = list[i];
        lines.push_back(field(c->version) + " " + field(c->name) + " " + field(c->value) + " " +
                        field(c->path) + " " + field(c->domain));
    }
    return lines;
}

std::vector<std::string> names_of(const cgi_request *req)
{
    std::vector<std::string> out;
    char **names = cgi_cookie_names(req);
    for (char **n = names; n && *n; n++)
        out.push_back(*n);
    cgi_free_list(names);
    return out;
}

std::string trace_of(const std::function<void()> &fn)
{
    cgi_debug_setup(1, 1);
    std::string out = test::capture_stderr(fn);
    cgi_debug_setup(0, 1);
    return out;
}

// ---- Reading HTTP_COOKIE ----------------------------------------------------

struct Want {
    const char *name = nullptr, *value = nullptr, *version = nullptr, *path = nullptr,
               *domain = nullptr;
    bool shared = false; // version is the first cookie's string itself
};

struct Row {
    const char *header; // null: not set
    bool null_list;
    std::vector<Want> cookies;
};

void check_rows(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.header ? "HTTP_COOKIE=[" + std::string(row.header) + "]" : "unset");
        cgi_cookie **list = read_cookies(row.header);
        if (row.null_list) {
            EXPECT_EQ(list, nullptr);
            continue;
        }
        ASSERT_NE(list, nullptr);
        std::vector<std::string> want;
        for (const Want &w : row.cookies)
            want.push_back(field(w.version) + " " + field(w.name) + " " + field(w.value) + " " +
                           field(w.path) + " " + field(w.domain));
        EXPECT_EQ(describe(list), want);
        for (size_t i = 1; i < row.cookies.size() && i < want.size() && list[i]; i++) {
            if (row.cookies[i].shared) {
                EXPECT_EQ(list[i]->version, list[0]->version) << "cookie " << i << " shares";
            } else if (list[i]->version) {
                EXPECT_NE(list[i]->version, list[0]->version) << "cookie " << i << " owns";
            }
        }
        ostrel::free_cookies(list);
    }
}

TEST(ReadCookies, HeaderTable)
{
    check_rows({
        {nullptr, true, {}},
        {"", false, {}},
        {"   ", false, {}},
        {";;,", false, {}},
        {"a=1; b=2", false, {{"a", "1"}, {"b", "2"}}},
        {"a=1, b=2", false, {{"a", "1"}, {"b", "2"}}},
        {"a=1 ; b=2", false, {{"a", "1 "}, {"b", "2"}}},
        {"   a=1", false, {{"a", "1"}}},
        {"a = = 1", false, {{"a", "1"}}},
        {"a b=1", false, {{"a", "b=1"}}},
        {"a=b=c", false, {{"a", "b=c"}}},
        {"a", false, {{"a", ""}}},
        {"a; b=2", false, {{"a", ""}, {"b", "2"}}},
        {"=x; b=2", false, {{"b", "2"}}},
        {"a=\"x;y\"; b=2", false, {{"a", "x;y"}, {"b", "2"}}},
        {"a=\"x;y\"z; b=2", false, {{"a", "x;y"}, {"z", ""}, {"b", "2"}}},
        {"a=\"xyz", false, {{"a", "xyz"}}},
        {"a=\"\"", false, {{"a", ""}}},
        {"$Version=1; a=1; $Path=/", false, {{"a", "1", "1", "/"}}},
        {"$Version=1; a=1; b=2; $Domain=d", false,
         {{"a", "1", "1"}, {"b", "2", "1", nullptr, "d", true}}},
        {"a=1; $Version=1; b=2", false, {{"a", "1", "1"}, {"b", "2", "1", nullptr, nullptr, true}}},
        {"a=1; b=2; $Version=1; c=3", false, {{"a", "1"}, {"b", "2", "1"}, {"c", "3"}}},
        {"$VERSION=2; a=1", false, {{"a", "1", "2"}}},
        {"$Versions=2; a=1", false, {{"a", "1", "2"}}},
        {"$Pat=1; a=2", false, {{"a", "2"}}},
        {"$Port=80", false, {}},
        {"$Path=/", false, {{nullptr, nullptr, nullptr, "/"}}},
        {"a=1; $Path=; b=2", false, {{"a", "1", nullptr, ""}, {"b", "2"}}},
        {"a=1; $Path=/; $Path=/y", false, {{"a", "1", nullptr, "/y"}}},
        {"x=1;x=2", false, {{"x", "1"}, {"x", "2"}}},
        {"a\t=1", false, {{"a\t", "1"}}},
    });
}

// Replaced attributes and versions of later cookies: the reader frees what it
// replaces, never the shared version; the release frees the rest once.  The
// sanitizer build checks that nothing leaks and nothing is freed twice.
TEST(ReadCookies, ReplacedAttributesAndOwnVersions)
{
    check_rows({
        {"$Version=1; $version=2; $Path=/p; $PATH=/q; $Domain=d; $domain=e; a=1", false,
         {{"a", "1", "2", "/q", "e"}}},
        {"$Version=1; a=1; $Version=2; b=2", false,
         {{"a", "1", "2"}, {"b", "2", "2", nullptr, nullptr, true}}},
        {"$Version=1; a=1; b=2; $Version=2; $Version=3; c=3", false,
         {{"a", "1", "1"}, {"b", "2", "3"}, {"c", "3", "1", nullptr, nullptr, true}}},
        {"a=1; b=2; $Version=3; $Version=4; $Domain=x; $Domain=y", false,
         {{"a", "1"}, {"b", "2", "4", nullptr, "y"}}},
        {"$Path=/; $Path=/x; $Version=1", false, {{nullptr, nullptr, "1", "/x"}}},
    });
}

TEST(ReadCookies, MalformedItems)
{
    check_rows({
        {"a=\"unclosed; b=2, c", false, {{"a", "unclosed; b=2, c"}}},
        {"\"", false, {{"\"", ""}}},
        {"a=\"", false, {{"a", ""}}},
        {" ;, ; ,,; ", false, {}},
        {"$; $=1; $$=2; $x; $Versio=1; a=1", false, {{"a", "1"}}},
        {"a$=1; $", false, {{"a$", "1"}}},
        {"\ta=1;\t", false, {{"\ta", "1"}, {"\t", ""}}},
        {"a==\"q\"", false, {{"a", "q"}}},
        {"=", false, {}},
        {"$Version", false, {{nullptr, nullptr, "", nullptr}}},
    });
}

// Several megabytes of one kind of text each: parsed in one pass, no read
// past the end (the sanitizer build checks that), everything released.
TEST(ReadCookies, HugeHeaders)
{
    const size_t mb = 1u << 20;
    std::string value(8 * mb, 'v');
    cgi_cookie **list = read_cookies(("a=" + value).c_str());
    ASSERT_TRUE(list && list[0] && !list[1]);
    EXPECT_EQ(std::strlen(list[0]->value), value.size());
    ostrel::free_cookies(list);

    list = read_cookies(("a=\"" + value).c_str());
    ASSERT_TRUE(list && list[0] && !list[1]);
    EXPECT_EQ(std::strlen(list[0]->value), value.size());
    ostrel::free_cookies(list);

    for (const char *unit : {";", "$x=1;", "$", "   ", "=\"\""}) {
        std::string header;
        while (header.size() < 4 * mb)
            header += unit;
        list = read_cookies(header.c_str());
        ASSERT_NE(list, nullptr) << unit;
        EXPECT_EQ(list[0], nullptr) << unit;
        ostrel::free_cookies(list);
    }

    std::string paths;
    while (paths.size() < 4 * mb)
        paths += "$Path=/;";
    list = read_cookies(paths.c_str());
    EXPECT_EQ(describe(list), std::vector<std::string>{"null null null \"/\" null"});
    ostrel::free_cookies(list);
}

TEST(ReadCookies, HundredThousandCookiesInLinearTime)
{
    const size_t n = 100000;
    std::string header;
    for (size_t i = 0; i < n; i++)
        header += "c" + std::to_string(i) + "=v" + std::to_string(i) + (i % 2 ? "; " : ",");
    header = "$Version=1; " + header;
    auto start = std::chrono::steady_clock::now();
    cgi_cookie **list = read_cookies(header.c_str());
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

// Every allocation of a read fails in turn.  The initial list or a growing
// list gives null; anything else gives the cookies appended before it, and
// nothing stays allocated once the result is released.
TEST(ReadCookies, AllocationFailures)
{
    const char *header = "$Version=1; a=1; b=\"2\"; $Path=/p; $Version=2; $Domain=d; c=3; "
                         "$Path=/q; $Version=4; d";
    cgi_cookie **full_list = read_cookies(header);
    std::vector<std::string> full = describe(full_list);
    ostrel::free_cookies(full_list);
    ASSERT_EQ(full.size(), 4u);

    test::Env env{{"HTTP_COOKIE", header}};
    for (long at = 0;; at++) {
        SCOPED_TRACE("failing allocation " + std::to_string(at));
        faults::arm(at);
        cgi_cookie **list = cgi_read_cookies();
        faults::pause();
        std::vector<std::string> got = describe(list);
        faults::resume();
        ostrel::free_cookies(list);
        faults::disarm();
        EXPECT_EQ(faults::live, 0);
        if (!faults::failed_kind) {
            EXPECT_EQ(got, full);
            EXPECT_GT(at, 10);
            break;
        }
        if (at == 0 || faults::failed_kind == 'r') {
            EXPECT_EQ(list, nullptr);
            continue;
        }
        ASSERT_NE(list, nullptr);
        ASSERT_LT(got.size(), full.size());
        EXPECT_EQ(got, std::vector<std::string>(full.begin(), full.begin() + long(got.size())));
    }
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
    EXPECT_EQ(names_of(r.req), (std::vector<std::string>{"x", "x", "a"}));
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
    EXPECT_EQ(trace_of([&] { EXPECT_EQ(cgi_get_cookie(empty.req, "a"), nullptr); }),
              "a not found\n\n");
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

TEST(CookieNames, CopiesInOrderAndAllocationFailures)
{
    CookieRequest r("a=1; $Path=/; b=2");
    EXPECT_EQ(names_of(r.req), (std::vector<std::string>{"a", "b"}));
    for (long at = 0; at < 3; at++) {
        faults::arm(at);
        char **names = cgi_cookie_names(r.req);
        bool got = names != nullptr;
        cgi_free_list(names);
        faults::disarm();
        EXPECT_FALSE(got) << at;
        EXPECT_EQ(faults::live, 0) << at;
    }
}

// ---- Whole requests ---------------------------------------------------------

TEST(ReadRequest, GetWithQueryStringAttachesCookies)
{
    test::Env env{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1"}, {"HTTP_COOKIE", "a=1; b=2"},
                  {"CONTENT_TYPE", nullptr}, {"CONTENT_LENGTH", nullptr}};
    cgi_request *req = cgi_read_request();
    ASSERT_NE(req, nullptr);
    EXPECT_STREQ(cgi_get_value(req, "q"), "1");
    cgi_cookie *b = cgi_get_cookie(req, "b");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->value, "2");
    EXPECT_EQ(names_of(req), (std::vector<std::string>{"a", "b"}));
    cgi_free_request(req);
}

TEST(ReadRequest, GetWithoutQueryStringReadsNoCookies)
{
    test::Env env{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", nullptr}, {"HTTP_COOKIE", "a=1"},
                  {"CONTENT_TYPE", nullptr}, {"CONTENT_LENGTH", nullptr}};
    EXPECT_EQ(cgi_read_request(), nullptr);
}

} // namespace
