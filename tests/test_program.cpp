// The built programs run as a web server runs them: environment, standard
// input, then the answer byte for byte, the exit status, the stored file and
// no spool file left.
#include "tests/support.h"

namespace {

const std::string upload_type = "multipart/form-data; boundary=----formdata7MA4YWxk";

std::map<std::string, std::string> post_env(const std::string &type = upload_type)
{
    return {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type}, {"GATEWAY_INTERFACE", "CGI/1.1"}};
}

std::string form(const std::string &receiver, const std::string &data)
{
    return test::multipart_body("----formdata7MA4YWxk",
                                {{"fxreceiver", receiver}, {"fxdatei", data, "fax.sff", "application/octet-stream"}});
}

const char *const not_stored = "Location: ./faxsnd.cgi?action=upload&work=ok\n\n";

class Program : public test::SpoolWatch {
protected:
    test::Run upload(const std::string &body, const std::map<std::string, std::string> &env = post_env())
    {
        test::Run r = test::run_program(FAXUPLOAD_PATH, env, body);
        EXPECT_TRUE(new_spool_files().empty());
        return r;
    }
    std::string receiver() const { return "p" + std::to_string(getpid()); }
    std::string stored_path() const { return "/tmp/" + receiver() + ".fax.sff.sff"; }
    void TearDown() override
    {
        unlink(stored_path().c_str());
        test::SpoolWatch::TearDown();
    }
};

TEST_F(Program, StoresTheUploadAndRedirects)
{
    std::string data("%PDF \r\n--\0\r\n------formdata7MA4YWx\r\r\n", 36);
    test::Run r = upload(form(receiver(), data));
    EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=" + stored_path() + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_file(stored_path()), data);
}

TEST_F(Program, StoresAnEmptyDocument)
{
    test::Run r = upload(form(receiver(), ""));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(test::file_exists(stored_path()));
    EXPECT_EQ(test::read_file(stored_path()), "");
}

TEST_F(Program, NoRequestAtAll)
{
    test::Run r = upload("", {{"REQUEST_METHOD", "GET"}});
    EXPECT_EQ(r.out, not_stored);
    EXPECT_EQ(r.status, 1);
}

TEST_F(Program, DestinationThatCannotBeCreated)
{
    mkdir(stored_path().c_str(), 0700); // a directory stands in the way
    test::Run r = upload(form(receiver(), "data"));
    rmdir(stored_path().c_str());
    EXPECT_EQ(r.out, not_stored);
    EXPECT_EQ(r.status, 1);
}

TEST_F(Program, PlusInTheReceiverSurvivesTheQuery)
{
    std::string recv = "+" + receiver();
    test::Run r = upload(form(recv, "x"));
    std::string path = "/tmp/" + recv + ".fax.sff.sff";
    EXPECT_EQ(r.out, "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/%2B" + receiver() + ".fax.sff.sff\n\n");
    EXPECT_EQ(test::read_file(path), "x");
    unlink(path.c_str());
}

// Where the body ends.  RFC 3875 does not oblige a server to end the input
// after the body, and some hand over the client's connection itself: the
// answer must come at CONTENT_LENGTH or the close delimiter, whatever the
// input does after it.
TEST_F(Program, AnswersWhereTheBodyEnds)
{
    const std::string body = form(receiver(), "data"), length = std::to_string(body.size());
    const std::string chunked = "1a3\r\n" + body + "\r\n0\r\n\r\n"; // as a server may pass it on
    auto env = [](const std::string &length) {
        auto e = post_env();
        if (!length.empty())
            e["CONTENT_LENGTH"] = length;
        return e;
    };
    const struct {
        const char *what;
        std::string input, length;
        bool stored, waits; // waits: only for the end of input, which comes after a second
    } cases[] = {
        {"at CONTENT_LENGTH", body + "more bytes the program must not read", length, true, false},
        {"at the close delimiter, without a length", body + "epilogue\r\n", "", true, false},
        {"with an epilogue inside CONTENT_LENGTH", body + "epilogue\r\n--", std::to_string(body.size() + 14), true,
         false},
        {"raw chunk framing, refused", chunked, "", false, false},
        {"a length above the limit, refused unread", body, "999999999", false, false},
        {"a body cut short of CONTENT_LENGTH", body.substr(0, body.size() - 30), length, false, true},
    };
    for (const auto &c : cases) {
        for (bool socket : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (socket ? ", socket" : ", pipe"));
            test::HeldRun r = test::run_program_held(FAXUPLOAD_PATH, env(c.length), c.input, socket, c.waits ? 1 : 5);
            EXPECT_EQ(r.waited, c.waits);
            EXPECT_EQ(r.status, c.stored ? 0 : 1);
            EXPECT_EQ(r.out,
                      c.stored ? "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=" + stored_path() + "\n\n"
                               : not_stored);
            EXPECT_EQ(test::read_file(stored_path()), c.stored ? "data" : "");
            EXPECT_TRUE(new_spool_files().empty());
            unlink(stored_path().c_str());
        }
    }
}

// The readers through a C program that prints what it read.

test::Run dump(const std::map<std::string, std::string> &env, const std::string &input = "")
{
    return test::run_program(DUMP_REQUEST_PATH, env, input);
}

TEST_F(Program, GetRequest)
{
    test::Run r = dump({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=x+y%21&a=2"}});
    EXPECT_EQ(r.out, "var a=1\n2\nvar b=x y!\n");
}

TEST_F(Program, PostRequest)
{
    test::Run r = dump(
        {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "9"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"}},
        "a=1&b=234567");
    EXPECT_EQ(r.out, "var a=1\nvar b=234\nCONTENT_TYPE=application/x-www-form-urlencoded\n");
}

TEST_F(Program, OfflineMode)
{
    test::Run r = dump({}, "a=1\nb=2&c=3\n");
    EXPECT_EQ(r.out, "(offline mode: enter name=value pairs on standard input)\nvar a=1\nvar b=2\nvar c=3\n");
}

TEST_F(Program, MultipartHandOff)
{
    std::string body = test::multipart_body("XyZ", {{"a", "1"}, {"f", "two\r\nlines", "d/x.sff", "text/plain"}});
    test::Run r = dump({{"REQUEST_METHOD", "POST"},
                        {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"},
                        {"HTTP_COOKIE", "s=1; t=2"}},
                       body);
    EXPECT_EQ(r.out,
              "var a=1\nupload f (x.sff, text/plain): two\r\nlines\ncookie s=1\ncookie t=2\n"
              "CONTENT_TYPE=multipart/form-data; boundar--XyZ\n");
    EXPECT_TRUE(new_spool_files().empty());
}

} // namespace
