// The debug trace: levels and targets.
#include "tests/support.h"

namespace {

class Trace : public ::testing::Test {
protected:
    void TearDown() override { cgi_debug_setup(0, 1); }
};

TEST_F(Trace, OffByDefault)
{
    EXPECT_EQ(test::capture_stderr([] { cgi_trace(1, "hidden"); }), "");
    EXPECT_EQ(test::capture_stdout([] { cgi_trace(1, "hidden"); }), "");
}

TEST_F(Trace, LevelsToStandardError)
{
    std::string err = test::capture_stderr([] {
        cgi_debug_setup(2, 1);
        cgi_trace(2, "shown %d", 2);
        cgi_trace(3, "dropped");
        cgi_trace(1, "%s", "also shown");
    });
    EXPECT_EQ(err, "shown 2\nalso shown\n");
}

TEST_F(Trace, HtmlPageTarget)
{
    std::string out = test::capture_stdout([] {
        cgi_debug_setup(1, 5);
        cgi_trace(1, "message");
    });
    EXPECT_EQ(out, "<pre>\nmessage\n</pre>\n");
}

TEST_F(Trace, NegativeLevelAndZeroTarget)
{
    cgi_debug_setup(3, 5);
    cgi_debug_setup(-3, 0); // level 0, target kept
    EXPECT_EQ(test::capture_stdout([] { cgi_trace(0, "level zero"); }), "<pre>\nlevel zero\n</pre>\n");
    EXPECT_EQ(test::capture_stdout([] { cgi_trace(1, "off"); }), "");
}

TEST_F(Trace, SystemLog)
{
    cgi_debug_setup(1, 2);
    std::string out = test::capture_stdout([] {
        std::string err = test::capture_stderr([] { cgi_trace(1, "to syslog %s", "ok"); });
        EXPECT_EQ(err, "");
    });
    EXPECT_EQ(out, "");
}

} // namespace
