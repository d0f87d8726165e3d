// The multipart reader and its line reader: a catalogue of bodies and what
// each one gives.  The boundary parameter is XyZ throughout.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstring>

namespace {

const char *const B = "--XyZ";

std::string line_of(const std::string &s) { return s + "\r\n"; }

// The body's lines joined with CR LF.
std::string body(std::initializer_list<std::string> lines)
{
    std::string b;
    for (const auto &l : lines)
        b += line_of(l);
    return b;
}

std::string disposition(const std::string &params) { return "Content-Disposition: form-data; " + params; }

class Multipart : public test::SpoolWatch {
protected:
    cgi_request *read(const std::string &input)
    {
        test::set_stdin(input);
        req_ = cgi_read_multipart(B);
        return req_;
    }
    void TearDown() override
    {
        cgi_free_request(req_);
        test::SpoolWatch::TearDown();
    }
    std::string value(const char *name)
    {
        for (cgi_var **v = req_ ? req_->variables : nullptr; v && *v; v++)
            if (std::strcmp((*v)->name, name) == 0)
                return (*v)->value;
        return "<none>";
    }
    size_t count_vars() const
    {
        size_t n = 0;
        while (req_->variables && req_->variables[n])
            n++;
        return n;
    }
    size_t count_uploads() const
    {
        size_t n = 0;
        while (req_->uploads && req_->uploads[n])
            n++;
        return n;
    }
    cgi_request *req_ = nullptr;
};

TEST_F(Multipart, ValueAndFilePart)
{
    read(body({B, disposition("name=\"fxreceiver\""), "", "123", B,
               disposition("name=\"fxdatei\"; filename=\"fax.sff\""), "Content-Type: application/octet-stream", "",
               "line one\r\nline two", B + std::string("--")}));
    ASSERT_NE(req_, nullptr);
    EXPECT_EQ(value("fxreceiver"), "123");
    ASSERT_EQ(count_uploads(), 1u);
    cgi_upload *u = req_->uploads[0];
    EXPECT_STREQ(u->name, "fxdatei");
    EXPECT_STREQ(u->type, "application/octet-stream");
    EXPECT_STREQ(u->filename, "fax.sff");
    EXPECT_EQ(test::read_file(u->path), "line one\r\nline two");
    EXPECT_EQ(req_->cookies, nullptr);
}

TEST_F(Multipart, FilePartWithoutContentTypeAndEmptyFile)
{
    // The CR LF before a delimiter belongs to it: an empty line of data.
    read(body({B, disposition("name=\"f\"; filename=\"empty\""), "", "", B + std::string("--")}));
    ASSERT_EQ(count_uploads(), 1u);
    EXPECT_EQ(req_->uploads[0]->type, nullptr);
    EXPECT_EQ(test::read_file(req_->uploads[0]->path), "");
    EXPECT_EQ(req_->variables, nullptr);
}

TEST_F(Multipart, BodyWithoutParts)
{
    ASSERT_NE(read(""), nullptr);
    EXPECT_EQ(req_->variables, nullptr);
    EXPECT_EQ(req_->uploads, nullptr);
}

TEST_F(Multipart, RepeatedNamesAndMultiLineValues)
{
    read(body({B, disposition("name=\"a\""), "", "x", B, disposition("name=\"a\""), "", "y%41", B,
               disposition("name=\"m\""), "", "l1", "l2%41", "l3", B + std::string("--")}));
    // A repeated name appends its raw line after a line feed; further lines
    // of one value are decoded and joined with CR LF.
    EXPECT_EQ(value("a"), "x\ny%41");
    EXPECT_EQ(value("m"), "l1\r\nl2A\r\nl3");
    EXPECT_EQ(count_vars(), 2u);
}

TEST_F(Multipart, ValuesAreDecoded)
{
    read(body({B, disposition("name=\"a%20b\""), "", "100%", B, disposition("name=\"c\""), "", "%41+", B}));
    EXPECT_EQ(value("a b"), "100");
    EXPECT_EQ(value("c"), "A+");
}

TEST_F(Multipart, HeaderKeywordsInAnyCase)
{
    read(body({B, "CONTENT-DISPOSITION: FORM-DATA; name=\"f\"; filename=\"x\"", "content-type: text/plain", "", "d",
               B + std::string("--")}));
    ASSERT_EQ(count_uploads(), 1u);
    EXPECT_STREQ(req_->uploads[0]->type, "text/plain");
}

TEST_F(Multipart, DispositionNeedsItsBlanks)
{
    // No blank after the semicolon: no field name, so the line is ignored
    // and the part's value has nowhere to go.
    read(body({B, "Content-Disposition: form-data;name=\"a\"", "", "x", B + std::string("--")}));
    EXPECT_EQ(req_->variables, nullptr);
}

TEST_F(Multipart, PreambleAndEpilogue)
{
    read("preamble line\r\n" + body({B, disposition("name=\"a\""), "", "1", B + std::string("--"), "epilogue"}) +
         body({B, disposition("name=\"b\""), "", "2"}));
    EXPECT_EQ(value("a"), "1");
    EXPECT_EQ(value("b"), "2"); // the final delimiter does not end the reading
}

TEST_F(Multipart, PartWithoutNameExtendsTheCurrentValue)
{
    read(body({B, disposition("name=\"a\""), "", "1", B, disposition("filename=f"), "", "more", B}));
    EXPECT_EQ(value("a"), "1\r\nmore");
    EXPECT_EQ(req_->uploads, nullptr);
}

TEST_F(Multipart, HeaderKeywordInsideAValueIsAHeader)
{
    read(body({B, disposition("name=\"a\""), "", "1", "Content-Type: text/plain", "2", B}));
    EXPECT_EQ(value("a"), "1\r\n2");
}

TEST_F(Multipart, ClientFileNames)
{
    const std::pair<const char *, const char *> cases[] = {
        {"D:/dir/letter.sff", "letter.sff"},
        {"D:\\dir\\letter.sff", "D:\\dir\\letter.sff"},
        {"dir/", ""}, // only a name that is empty as a whole is dropped
        {"letter%20one.sff", "letter one.sff"},
        {"a%2Fb.sff", "b.sff"},
    };
    for (const auto &c : cases) {
        read(body({B, disposition(std::string("name=\"f\"; filename=\"") + c.first + "\""), "", "data", B}));
        ASSERT_EQ(count_uploads(), 1u) << c.first;
        EXPECT_STREQ(req_->uploads[0]->filename, c.second);
        cgi_free_request(req_);
        req_ = nullptr;
    }
}

TEST_F(Multipart, FileNameBeforeNameGivesBoth)
{
    read(body({B, "Content-Disposition: form-data; filename=\"x.sff\"; name=\"f\"", "", "d", B}));
    ASSERT_EQ(count_uploads(), 1u);
    EXPECT_STREQ(req_->uploads[0]->name, "x.sff");
    EXPECT_STREQ(req_->uploads[0]->filename, "x.sff");
}

TEST_F(Multipart, EmptyFileNameDropsThePart)
{
    read(body({B, disposition("name=\"fxdatei\"; filename=\"\""), "", "data", B, disposition("name=\"a\""), "", "1",
               B + std::string("--")}));
    EXPECT_EQ(req_->uploads, nullptr);
    EXPECT_EQ(value("a"), "1"); // reading went on after the dropped part
}

TEST_F(Multipart, TwoFilePartsOfOneName)
{
    read(body({B, disposition("name=\"f\"; filename=\"1\""), "", "one", B, disposition("name=\"f\"; filename=\"2\""),
               "", "two", B + std::string("--")}));
    ASSERT_EQ(count_uploads(), 2u);
    EXPECT_STREQ(req_->uploads[0]->filename, "1");
    EXPECT_STREQ(cgi_get_upload(req_, "f")->filename, "1");
    EXPECT_EQ(test::read_file(req_->uploads[1]->path), "two");
}

TEST_F(Multipart, TruncatedFilePartIsDropped)
{
    // A client that broke off: the document is incomplete, never stored.
    read(body({B, disposition("name=\"a\""), "", "1", B, disposition("name=\"f\"; filename=\"x\""), ""}) +
         "partial data\r\n--X");
    EXPECT_EQ(req_->uploads, nullptr);
    EXPECT_EQ(value("a"), "1");
}

TEST_F(Multipart, ValuePartEndingWithoutLineFeed)
{
    read(body({B, disposition("name=\"a\""), "", "complete"}) + "lost");
    EXPECT_EQ(value("a"), "complete");
}

TEST_F(Multipart, QuotedBoundaryArgumentMatchesNothing)
{
    // The reader takes the argument as given; the form reader unquotes it.
    test::set_stdin(body({B, disposition("name=\"f\"; filename=\"x\""), "", "data", B + std::string("--")}));
    req_ = cgi_read_multipart("--\"XyZ\"");
    ASSERT_NE(req_, nullptr);
    EXPECT_EQ(req_->uploads, nullptr);
}

TEST_F(Multipart, FileNameLeftOverFromAValuePartIsDropped)
{
    // The value line takes the field name; the file name stays pending and
    // must not make an upload without a name.
    read(body({B, disposition("name=\"a\""), "", "1", disposition("name=\"b\"; filename=\"x\""), "v", B, "", "data", B,
               disposition("name=\"c\""), "", "3"}));
    EXPECT_EQ(req_->uploads, nullptr);
    EXPECT_EQ(value("b"), "v");
    EXPECT_EQ(value("c"), "3");
}

TEST_F(Multipart, ManyVariablesKeepTheirOrder)
{
    std::string b;
    for (int i = 0; i < 1000; i++)
        b += body({B, disposition("name=\"v" + std::to_string(i % 700) + "\""), "", std::to_string(i)});
    read(b);
    ASSERT_EQ(count_vars(), 700u);
    for (int i = 0; i < 700; i++)
        ASSERT_STREQ(req_->variables[i]->name, ("v" + std::to_string(i)).c_str());
    EXPECT_EQ(value("v5"), "5\n705");
    EXPECT_EQ(value("v699"), "699");
}

TEST_F(Multipart, Traces)
{
    std::string input = body({B, disposition("name=\"a\""), "", "1", B, disposition("name=\"a\""), "", "2", B,
                              disposition("name=\"f\"; filename=\"\""), "Content-Type: t", "", "x", B + std::string("--")});
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(3, 1);
        read(input);
        cgi_debug_setup(0, 1);
    });
    std::string spool;
    // The dropped part's spool path is random; cut it out.
    size_t at = err.find("Wrote f () to file: /tmp/ostrel");
    ASSERT_NE(at, std::string::npos) << err;
    err.erase(at + 20, std::strlen("/tmp/ostrelXXXXXX"));
    EXPECT_EQ(err, "Found field name a\nSet #0 to a=1\nFound field name a\nSet #0 to a=2\n"
                   "Found field name f\nFound filename \nFound mime type t\nWrote f () to file: \n"
                   "Found empty filename, removing\n");
}

// The line reader.

FILE *stream(std::string &s) { return fmemopen(&s[0], s.size(), "rb"); }

TEST(ReadLine, LineEnds)
{
    std::string input = "a\r\nb\nc\r\r\n\r\n\nlast";
    FILE *in = stream(input);
    const char *expected[] = {"a", "b", "c\r", "", ""};
    for (const char *e : expected) {
        const char *line = cgi_read_line(in);
        ASSERT_NE(line, nullptr);
        EXPECT_STREQ(line, e);
    }
    EXPECT_EQ(cgi_read_line(in), nullptr); // a last line without line feed
    EXPECT_EQ(cgi_read_line(in), nullptr);
    std::fclose(in);
}

TEST(ReadLine, BufferGrowsInSteps)
{
    // This test must be the first to use the line buffer in its process.
    std::string input = std::string(300, 'x') + "\r\n";
    FILE *in = stream(input);
    const char *line = cgi_read_line(in);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::strlen(line), 300u);
    EXPECT_EQ(ostrel::line_buffer_capacity(), 384u);
    std::fclose(in);
}

TEST(ReadLine, LinesLongerThanAnyBuffer)
{
    std::string big(3 << 20, 'y');
    for (size_t i = 0; i < big.size(); i += 997)
        big[i] = static_cast<char>('a' + i % 26);
    std::string input = big + "\n" + "short\n";
    FILE *in = stream(input);
    const char *line = cgi_read_line(in);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line == big);
    EXPECT_STREQ(cgi_read_line(in), "short");
    std::fclose(in);
}

TEST(ReadLine, TextOfAPieceEndsAtAZeroByte)
{
    std::string input("ab\0cd\nef\n", 9);
    FILE *in = stream(input);
    // The zero byte hides the rest of its piece, line feed included.
    EXPECT_STREQ(cgi_read_line(in), "abef");
    std::fclose(in);
}

TEST(ReadLine, TraceAtLevelFour)
{
    std::string input = "hello\r\n";
    FILE *in = stream(input);
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(4, 1);
        cgi_read_line(in);
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(err, "Read line 'hello'\n");
    std::fclose(in);
}

} // namespace
