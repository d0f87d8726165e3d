// The form reader: where input comes from, and how URL-encoded text becomes
// variables.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstring>
#include <memory>
#include <stdio_ext.h>

namespace {

class Form : public test::SpoolWatch {
protected:
    void TearDown() override
    {
        cgi_free_request(req_);
        test::SpoolWatch::TearDown();
    }
    // Reads the input; in_ stays open for a look at what was left.
    cgi_request *read(const ostrel::FormInput &vars, const std::string &input = "")
    {
        cgi_free_request(req_);
        in_.reset(new test::Bytes(input));
        return req_ = ostrel::read_form(*in_, vars);
    }
    cgi_request *get(const char *query) { return read({nullptr, "GET", nullptr, query}); }
    cgi_request *post(const char *length, const std::string &body, const char *type = nullptr)
    {
        return read({type, "POST", length, nullptr}, body);
    }
    // Offline mode over a stream of its own, left at where reading stopped;
    // returns the prompt.
    std::string offline(const char *method, const std::string &input)
    {
        return test::written([&](FILE *prompt) { read({nullptr, method, nullptr, nullptr, prompt}, input); });
    }
    cgi_request *req_ = nullptr;
    std::unique_ptr<test::Bytes> in_;
};

TEST_F(Form, QueryStrings)
{
    const std::pair<const char *, const char *> cases[] = {
        {"a=1&b=2", "var a=1\nvar b=2\n"},
        {"a=1&a=2", "var a=1\n2\n"},
        {"a=1&%61=2&a=3", "var a=1\n2\n3\n"}, // names compared after decoding
        {"a&b=2", "var b=2\n"},
        {"=x", "var =x\n"},
        {"a=", "var a=\n"},
        {"a=b=c", "var a=b=c\n"},
        {"a=%zz", "var a=zz\n"},
        {"a+b=c+d", "var a b=c d\n"},
        {"a=%2B", "var a=+\n"},
        {"a=%26b", "var a=&b\n"},
        {"a=1;b=2", "var a=1\nvar b=2\n"},
        {"a=1;b=2&c=3", "var a=1;b=2\nvar c=3\n"}, // ";" only behind the last "&"
        {"&a=1", "var a=1\n"},
        {"a=1&", "var a=1\n"},
        {"a=1&&b=2", "var a=1\nvar b=2\n"},
        {"novalue", "no variables\n"}, // present, even when empty
    };
    for (const auto &c : cases) {
        EXPECT_EQ(test::describe(get(c.first)), c.second) << c.first;
    }
}

TEST_F(Form, MissingOrEmptyQueryString)
{
    EXPECT_EQ(get(""), nullptr);
    EXPECT_EQ(get(nullptr), nullptr);
}

TEST_F(Form, QueryTraces)
{
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(2, 1);
        get("a=1&a=2&x");
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(err,
              "REQUEST_METHOD: GET\nReceived CGI input: a=1&a=2&x\n3 cgi variables found.\n"
              "a: 1\na: 1\n2\n");
}

TEST_F(Form, PostBody)
{
    EXPECT_EQ(test::describe(post("3", "a=12345")), "var a=1\n");
    EXPECT_EQ(std::fgetc(*in_), '2'); // the rest stays unread
}

TEST_F(Form, PostReadsOneLine) { EXPECT_EQ(test::describe(post("20", "a=1\nb=2")), "var a=1\n\n"); }

TEST_F(Form, PostLengths)
{
    for (const char *bad : {"0", "-5", "abc", "", "99999999999999999999", "2147483648", "\x0e+3", "\b3"})
        EXPECT_EQ(post(bad, "a=1"), nullptr) << bad;
    EXPECT_EQ(post(nullptr, "a=1"), nullptr);
    // atoi's reading: leading white space, a sign, digits up to the first other byte.
    const std::pair<const char *, const char *> lengths[] = {
        {" \t+2xyz", "var a=\n"}, {"\v\f\r3", "var a=1\n"}, {"3:", "var a=1\n"}, {"3/", "var a=1\n"}};
    for (const auto &l : lengths)
        EXPECT_EQ(test::describe(post(l.first, "a=12345")), l.second) << l.first;
    // Up to INT_MAX a length, here above the body limit; beyond it, none.
    for (const char *length : {"2147483647", "2147483648"}) {
        test::Bytes in("a=1");
        int refusal = -1;
        EXPECT_EQ(ostrel::read_form(in, {nullptr, "POST", length, nullptr}, ostrel::default_limits(), &refusal),
                  nullptr);
        EXPECT_EQ(refusal, length[9] == '7' ? CGI_REFUSED_BODY_BYTES : CGI_ACCEPTED) << length;
    }
}

TEST_F(Form, PostWithoutBody) { EXPECT_EQ(test::describe(post("10", "")), "no variables\n"); }

TEST_F(Form, OfflineMode)
{
    const char *cases[][3] = {
        {nullptr, "a=1\nb=2\n", "var a=1\nvar b=2\n"},
        {"HEAD", "a=1\nb=2", "var a=1\nvar b=2\n"}, // no final line feed: the same text
        {"post", "a=1\r\n", "var a=1\r\n"},         // lower case is not POST; the CR stays
        {"PUT", "\n", "no variables\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(offline(c[0], c[1]), "(offline mode: enter name=value pairs on standard input)\n") << c[1];
        EXPECT_EQ(test::describe(req_), c[2]) << c[1];
    }
    offline(nullptr, "");
    EXPECT_EQ(req_, nullptr);
}

TEST_F(Form, OfflineLongLineJoinsItsPieces)
{
    std::string value(246, 'v');
    offline(nullptr, "a=" + value + "\n" + "b=2\n");
    EXPECT_EQ(test::describe(req_), "var a=" + value + "\nvar b=2\n");
    EXPECT_EQ(std::fgetc(*in_), EOF); // read to its end
    // Pieces of 99 bytes: a NUL hides the rest of its own piece alone.
    offline(nullptr, "a=" + std::string(1, '\0') + std::string(96, 'x') + "Y\n");
    EXPECT_EQ(test::describe(req_), "var a=Y\n");
}

// Over a caller's stream: its buffer and the content type text stay as they were.
TEST_F(Form, MultipartOverAStreamOfTheCallers)
{
    std::string type = "multipart/form-data; boundary=XyZ";
    std::string body = test::multipart_body("XyZ", {{"f", "data", "x.sff"}});
    char buffer[64];
    FILE *in = fmemopen(&body[0], body.size(), "rb");
    ASSERT_NE(in, nullptr);
    setvbuf(in, buffer, _IOFBF, sizeof buffer);
    req_ = ostrel::read_form(in, {type.c_str(), "POST", nullptr, nullptr});
    EXPECT_EQ(__fbufsize(in), sizeof buffer);
    std::fclose(in);
    EXPECT_EQ(test::describe(req_), "upload f (x.sff, no type): data\n");
    EXPECT_EQ(type, "multipart/form-data; boundary=XyZ");
}

TEST_F(Form, BoundaryParameterForms)
{
    for (const char *type :
         {"multipart/form-data; boundary=\"XyZ\"", "multipart/form-data; boundary=XyZ; charset=utf-8",
          "multipart/form-data; boundary=XyZ other", "boundary=XyZ;multipart/form-data"}) {
        read({type, "POST", nullptr, nullptr}, test::multipart_body("XyZ", {{"f", "data", "x.sff"}}));
        EXPECT_EQ(test::describe(req_), "upload f (x.sff, no type): data\n") << type;
    }
}

TEST_F(Form, MultipartWithoutBoundaryIsUrlEncoded)
{
    for (const char *type : {"multipart/form-data", "multipart/form-dat; boundary=XyZ"})
        EXPECT_EQ(test::describe(post("3", "a=1", type)), "var a=1\n") << type;
}

// A multipart body's CONTENT_LENGTH is decimal digits alone; anything else
// is none, and the body, which opens with its boundary, is read up to the
// body limit.
TEST_F(Form, MultipartLengthIsDigitsAlone)
{
    const char *type = "multipart/form-data; boundary=XyZ";
    std::string body = test::multipart_body("XyZ", {{"a", "1"}}), size = std::to_string(body.size());
    cgi_limits limits = ostrel::default_limits();
    limits.body_bytes = body.size() + 10;
    for (const std::string &length : {size, size + ":", size + "/", " " + size, "+" + size}) {
        test::Bytes in(body);
        int refusal = -1;
        cgi_request *req = ostrel::read_form(in, {type, "POST", length.c_str(), nullptr}, limits, &refusal);
        EXPECT_EQ(test::describe(req), "var a=1\n") << length;
        EXPECT_EQ(refusal, CGI_ACCEPTED) << length;
        cgi_free_request(req);
    }
}

TEST_F(Form, ManyNames)
{
    std::string query;
    for (int i = 0; i < 20000; i++)
        query += "n" + std::to_string(i % 5000) + "=" + std::to_string(i) + "&";
    get(query.c_str());
    ASSERT_NE(req_, nullptr);
    const std::vector<std::string> v = test::entries(req_);
    ASSERT_EQ(v.size(), 5000u);
    EXPECT_EQ(v[7], "var n7=7\n5007\n10007\n15007");
    EXPECT_EQ(v[4999], "var n4999=4999\n9999\n14999\n19999");
}

} // namespace
