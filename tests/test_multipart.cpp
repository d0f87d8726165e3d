// The multipart reader: a catalogue of bodies and what each one gives, in the
// text of test::describe.  The boundary parameter is XyZ throughout.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstring>

namespace {

const std::string B = "--XyZ", END = B + "--";

// The body's lines, each ended by CR LF.
std::string body(std::initializer_list<std::string> lines)
{
    std::string b;
    for (const auto &l : lines)
        b += l + "\r\n";
    return b;
}

std::string disposition(const std::string &params) { return "Content-Disposition: form-data; " + params; }

// A file part "f" of client file name `filename` holding "data".
std::string file_named(const std::string &filename)
{
    return body({B, disposition("name=\"f\"; filename=\"" + filename + "\""), "", "data", B});
}

class Multipart : public test::SpoolWatch {
protected:
    cgi_request *read(const std::string &input, const char *boundary = "--XyZ")
    {
        cgi_free_request(req_);
        test::Bytes in(input);
        return req_ = ostrel::read_multipart(in, boundary);
    }
    void TearDown() override
    {
        cgi_free_request(req_);
        test::SpoolWatch::TearDown();
    }
    cgi_request *req_ = nullptr;
};

struct Case {
    const char *what;
    std::string body, expected;
    const char *boundary = "--XyZ";
};

TEST_F(Multipart, Catalogue)
{
    const Case cases[] = {
        // Delimiters: text before the first is skipped, and the final one
        // ends the reading (RFC 2046: the epilogue is ignored).
        {"BodyWithoutParts", "", ""},
        {"PreambleAndEpilogue",
         "preamble line\r\n" + body({B, disposition("name=\"a\""), "", "1", END, "epilogue"}) +
             body({B, disposition("name=\"b\""), "", "2"}),
         "var a=1\n"},
        // The reader takes its argument as given; the form reader unquotes it.
        {"QuotedBoundaryArgumentMatchesNothing", body({B, disposition("name=\"f\"; filename=\"x\""), "", "data", END}),
         "", "--\"XyZ\""},

        // Headers: keywords in any case; the disposition needs its blanks (no
        // blank after ";": no field name, the value has nowhere to go).
        {"HeaderKeywordsInAnyCase",
         body({B, "CONTENT-DISPOSITION: FORM-DATA; name=\"f\"; filename=\"x\"", "content-type: text/plain", "", "d",
               END}),
         "upload f (x, text/plain): d\n"},
        {"DispositionNeedsItsBlanks", body({B, "Content-Disposition: form-data;name=\"a\"", "", "x", END}), ""},
        {"FileNameBeforeNameGivesBoth",
         body({B, "Content-Disposition: form-data; filename=\"x.sff\"; name=\"f\"", "", "d", B}),
         "upload x.sff (x.sff, no type): d\n"},

        // Value parts: decoded; further lines joined with CR LF; a repeated
        // name appends its raw line after a line feed; a part without a name,
        // or a header keyword inside a value, goes on with the current value.
        {"ValuesAreDecoded",
         body({B, disposition("name=\"a%20b\""), "", "100%", B, disposition("name=\"c\""), "", "%41+", B}),
         "var a b=100\nvar c=A+\n"},
        {"RepeatedNamesAndMultiLineValues",
         body({B, disposition("name=\"a\""), "", "x", B, disposition("name=\"a\""), "", "y%41", B,
               disposition("name=\"m\""), "", "l1", "l2%41", "l3", END}),
         "var a=x\ny%41\nvar m=l1\r\nl2A\r\nl3\n"},
        {"PartWithoutNameExtendsTheCurrentValue",
         body({B, disposition("name=\"a\""), "", "1", B, disposition("filename=f"), "", "more", B}),
         "var a=1\r\nmore\n"},
        {"SecondDispositionOfAPartIsIgnored",
         body({B, disposition("name=\"a\""), disposition("name=\"b\""), "", "1", END}), "var a=1\n"},
        {"LineWithMostOfTheBoundaryIsAValueLine", body({B, disposition("name=\"a\""), "", "1", "--XyA", END}),
         "var a=1\r\n--XyA\n"},
        {"HeaderKeywordInsideAValueIsAHeader",
         body({B, disposition("name=\"a\""), "", "1", "Content-Type: text/plain", "2", B}), "var a=1\r\n2\n"},
        {"ValuePartEndingWithoutLineFeed", body({B, disposition("name=\"a\""), "", "complete"}) + "lost",
         "var a=complete\n"},

        // File parts: the CR LF before a delimiter belongs to it.
        {"ValueAndFilePart",
         body({B, disposition("name=\"fxreceiver\""), "", "123", B,
               disposition("name=\"fxdatei\"; filename=\"fax.sff\""), "Content-Type: application/octet-stream", "",
               "line one\r\nline two", END}),
         "var fxreceiver=123\nupload fxdatei (fax.sff, application/octet-stream): line one\r\nline two\n"},
        {"FilePartWithoutContentTypeAndEmptyFile",
         body({B, disposition("name=\"f\"; filename=\"empty\""), "", "", END}), "upload f (empty, no type): \n"},
        {"TwoFilePartsOfOneName",
         body({B, disposition("name=\"f\"; filename=\"1\""), "", "one", B, disposition("name=\"f\"; filename=\"2\""),
               "", "two", END}),
         "upload f (1, no type): one\nupload f (2, no type): two\n"},

        // Client file names: the part after the last "/", decoded first; only
        // a name that is empty as a whole drops the part.
        {"ClientFileNames", file_named("D:/dir/letter.sff"), "upload f (letter.sff, no type): data\n"},
        {"ClientFileNames", file_named("D:\\dir\\letter.sff"), "upload f (D:\\dir\\letter.sff, no type): data\n"},
        {"ClientFileNames", file_named("dir/"), "upload f (, no type): data\n"},
        {"ClientFileNames", file_named("letter%20one.sff"), "upload f (letter one.sff, no type): data\n"},
        {"ClientFileNames", file_named("a%2Fb.sff"), "upload f (b.sff, no type): data\n"},
        {"EmptyFileNameDropsThePart",
         body({B, disposition("name=\"fxdatei\"; filename=\"\""), "", "data", B, disposition("name=\"a\""), "", "1",
               END}),
         "var a=1\n"},

        // Malformed input.  A client that broke off: the document is
        // incomplete, never stored.
        {"TruncatedFilePartIsDropped",
         body({B, disposition("name=\"a\""), "", "1", B, disposition("name=\"f\"; filename=\"x\""), ""}) +
             "partial data\r\n--X",
         "var a=1\n"},
        // The value line takes the field name; the file name stays pending
        // and must not make an upload without a name.
        {"FileNameLeftOverFromAValuePartIsDropped",
         body({B, disposition("name=\"a\""), "", "1", disposition("name=\"b\"; filename=\"x\""), "v", B, "", "data", B,
               disposition("name=\"c\""), "", "3"}),
         "var a=1\nvar b=v\nvar c=3\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(read(c.body, c.boundary), nullptr);
        EXPECT_EQ(test::describe(req_), c.expected);
    }
}

TEST_F(Multipart, ManyVariablesKeepTheirOrder)
{
    std::string b;
    for (int i = 0; i < 1000; i++)
        b += body({B, disposition("name=\"v" + std::to_string(i % 700) + "\""), "", std::to_string(i)});
    read(b);
    ASSERT_NE(req_, nullptr);
    cgi_var **v = req_->variables;
    ASSERT_NE(v, nullptr);
    for (int i = 0; i < 700; i++) {
        ASSERT_NE(v[i], nullptr);
        ASSERT_STREQ(v[i]->name, ("v" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(v[700], nullptr);
    EXPECT_STREQ(v[5]->value, "5\n705");
    EXPECT_STREQ(v[699]->value, "699");
}

TEST_F(Multipart, Traces)
{
    std::string input = body({B, disposition("name=\"a\""), "", "1", B, disposition("name=\"a\""), "", "2", B,
                              disposition("name=\"f\"; filename=\"\""), "Content-Type: t", "", "x", END});
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(3, 1);
        read(input);
        cgi_debug_setup(0, 1);
    });
    // The dropped part's spool path is random; cut it out.
    size_t at = err.find("Wrote f () to file: /tmp/ostrel");
    ASSERT_NE(at, std::string::npos) << err;
    err.erase(at + 20, std::strlen("/tmp/ostrelXXXXXX"));
    EXPECT_EQ(err,
              "Found field name a\nSet #0 to a=1\nFound field name a\nSet #0 to a=2\n"
              "Found field name f\nFound filename \nFound mime type t\nWrote f () to file: \n"
              "Found empty filename, removing\n");
}

} // namespace
