// The request record: lookups, name lists, release, and reading a request.
#include "tests/support.h"

#include <cstring>
#include <stdio_ext.h>

namespace {

// A request built by hand, as a C caller may build one.
cgi_request *make_request(std::vector<std::pair<const char *, const char *>> vars,
                          std::vector<std::pair<const char *, std::string>> uploads)
{
    cgi_request *req = static_cast<cgi_request *>(std::calloc(1, sizeof *req));
    req->variables = static_cast<cgi_var **>(std::calloc(vars.size() + 1, sizeof(cgi_var *)));
    for (size_t i = 0; i < vars.size(); i++) {
        req->variables[i] = static_cast<cgi_var *>(std::calloc(1, sizeof(cgi_var)));
        req->variables[i]->name = strdup(vars[i].first);
        req->variables[i]->value = strdup(vars[i].second);
    }
    if (!uploads.empty()) {
        req->uploads = static_cast<cgi_upload **>(std::calloc(uploads.size() + 1, sizeof(cgi_upload *)));
        for (size_t i = 0; i < uploads.size(); i++) {
            cgi_upload *u = req->uploads[i] = static_cast<cgi_upload *>(std::calloc(1, sizeof(cgi_upload)));
            u->name = strdup(uploads[i].first);
            u->filename = strdup(("file" + std::to_string(i)).c_str());
            u->path = strdup(uploads[i].second.c_str());
        }
    }
    return req;
}

class Request : public test::SpoolWatch {};

TEST_F(Request, ValueLookups)
{
    cgi_request *req = make_request({{"a", "1"}, {"empty", ""}, {"a", "second"}}, {});
    EXPECT_STREQ(cgi_get_value(req, "a"), "1");  // first match
    EXPECT_EQ(cgi_get_value(req, "A"), nullptr); // case-sensitive
    EXPECT_EQ(cgi_get_value(req, "empty"), nullptr);
    EXPECT_EQ(cgi_get_value(req, "missing"), nullptr);
    EXPECT_EQ(cgi_get_value(nullptr, "a"), nullptr);
    cgi_free_request(req);
}

TEST_F(Request, LookupTraces)
{
    cgi_request *req = make_request({{"empty", ""}}, {{"fxdatei", "/nonexistent"}});
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(1, 1);
        cgi_get_value(req, "empty");
        cgi_get_value(req, "x");
        cgi_get_upload(req, "fxdatei");
        cgi_get_upload(req, "FXDATEI");
        cgi_get_value(nullptr, "x"); // no record: no trace
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(err, "empty found as \nx not found\nfxdatei found as file0\nFXDATEI not found\n");
    cgi_free_request(req);
}

TEST_F(Request, UploadLookupsAndNames)
{
    cgi_request *req =
        make_request({{"x", "1"}, {"y", "2"}, {"z", "3"}}, {{"f", "/nonexistent1"}, {"f", "/nonexistent2"}});
    EXPECT_STREQ(cgi_get_upload(req, "f")->filename, "file0");
    EXPECT_EQ(cgi_get_upload(req, "g"), nullptr);
    EXPECT_EQ(test::names(cgi_variable_names(req)), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(test::names(cgi_upload_names(req)), (std::vector<std::string>{"f", "f"}));
    cgi_free_list(nullptr);
    cgi_free_request(req);
}

TEST_F(Request, NameListsOfAbsentAndEmptyLists)
{
    cgi_request *req = make_request({}, {});
    EXPECT_EQ(cgi_upload_names(req), nullptr); // no uploads list
    char **names = cgi_variable_names(req);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    cgi_free_list(names);
    EXPECT_EQ(cgi_variable_names(nullptr), nullptr);
    cgi_free_request(req);
}

TEST_F(Request, ReleaseDeletesSpoolFiles)
{
    std::string a = "/tmp/ostrelTESTa1", b = "/tmp/ostrelTESTb2";
    test::write_file(a, "1");
    test::write_file(b, "2");
    cgi_request *req = make_request({}, {{"f", a}, {"g", b}, {"h", "/tmp/ostrelTESTgone"}});
    cgi_free_request(req); // a file already gone is no error
    EXPECT_FALSE(test::file_exists(a));
    EXPECT_FALSE(test::file_exists(b));
    cgi_free_request(nullptr);
}

TEST_F(Request, ReleaseResetsResponseState)
{
    cgi_set_type("text/plain");
    cgi_free_request(nullptr); // leaves it alone
    EXPECT_EQ(test::capture_stdout(cgi_emit_header), "Content-type: text/plain\r\n\r\n");
    cgi_free_request(make_request({}, {}));
    EXPECT_EQ(test::capture_stdout(cgi_emit_header), "Content-type: text/html\r\n\r\n");
}

// The variables first; the cookies only when they gave a record.  The limits
// set are the reader's, and a refusal is told apart from no input.
TEST_F(Request, ReadRequest)
{
    const struct {
        const char *query, *cookie, *body, *expected; // body: a multipart POST
        size_t fields;                                // the limit, 0: the default
        int refusal;
    } cases[] = {
        {"q=1", "a=1; b=2", nullptr, "var q=1\ncookie a=1\ncookie b=2\n", 0, CGI_ACCEPTED},
        {"novalue", nullptr, nullptr, "no variables\n", 0, CGI_ACCEPTED}, // an empty but present list counts
        {nullptr, "a=1", nullptr, "no request\n", 0, CGI_ACCEPTED},       // the cookies are never read
        {nullptr, nullptr, "", "no request\n", 0, CGI_ACCEPTED},          // nothing at all in the body
        {"a=1&b=2&c=3", nullptr, nullptr, "no request\n", 2, CGI_REFUSED_FIELDS},
        {"a=1&b=2", nullptr, nullptr, "var a=1\nvar b=2\n", 2, CGI_ACCEPTED},
    };
    for (const auto &c : cases) {
        cgi_limits limits = {c.fields, 0, 0, 0, 0, 0};
        cgi_limits_setup(&limits);
        test::Env env{{"CONTENT_TYPE", c.body ? "multipart/form-data; boundary=XyZ" : nullptr},
                      {"REQUEST_METHOD", c.body ? "POST" : "GET"},
                      {"QUERY_STRING", c.query},
                      {"HTTP_COOKIE", c.cookie},
                      {"CONTENT_LENGTH", nullptr}};
        test::set_stdin(c.body ? c.body : "");
        cgi_request *req = cgi_read_request();
        EXPECT_EQ(test::describe(req), c.expected) << c.expected;
        EXPECT_EQ(cgi_refusal(), c.refusal) << c.expected;
        cgi_free_request(req);
        cgi_limits_setup(nullptr);
    }
}

// The public readers over stdin and the environment.  cgi_read_form marks
// CONTENT_TYPE's boundary as used and gives stdin a large buffer, whatever
// the method; cgi_read_multipart reads stdin; cgi_read_cookies HTTP_COOKIE.
TEST_F(Request, PublicReadersTakeStdinAndTheEnvironment)
{
    test::Env env{{"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"},
                  {"REQUEST_METHOD", "PUT"},
                  {"CONTENT_LENGTH", nullptr},
                  {"HTTP_COOKIE", "c=1; d=2"}};
    test::set_stdin(test::multipart_body("XyZ", {{"a", "1"}, {"f", "data", "x.sff"}}));
    cgi_request *req = cgi_read_form();
    EXPECT_EQ(test::describe(req), "var a=1\nupload f (x.sff, no type): data\n");
    EXPECT_STREQ(std::getenv("CONTENT_TYPE"), "multipart/form-data; boundar--XyZ");
    EXPECT_EQ(__fbufsize(stdin), size_t{1} << 18); // file data moves in large blocks
    cgi_free_request(req);

    test::set_stdin(test::multipart_body("Q", {{"b", "2"}}));
    req = cgi_read_multipart("--Q");
    ASSERT_NE(req, nullptr);
    req->cookies = cgi_read_cookies();
    EXPECT_EQ(test::describe(req), "var b=2\ncookie c=1\ncookie d=2\n");
    cgi_free_request(req);
}

} // namespace
