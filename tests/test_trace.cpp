// The debug trace: levels and targets.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstdarg>

namespace {

class Trace : public ::testing::Test {
protected:
    void TearDown() override { cgi_debug_setup(0, 1); }
};

// One trace call: what went to the page's stream, "|", what went to the
// error stream.
std::string trace(int level, const char *format, ...) CGI_PRINTF(2, 3);
std::string trace(int level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string err;
    std::string page =
        test::written([&](FILE *p) { err = test::written([&](FILE *e) { ostrel::vtrace(p, e, level, format, ap); }); });
    va_end(ap);
    return page + "|" + err;
}

TEST_F(Trace, OffByDefault) { EXPECT_EQ(trace(1, "hidden"), "|"); }

TEST_F(Trace, LevelsAndTargets)
{
    // Each row sets up the trace (target 0: kept), then traces at `at`.
    const struct {
        int level, target, at;
        const char *written;
    } rows[] = {
        {2, 1, 2, "|shown 2\n"}, {2, 1, 3, "|"},
        {2, 1, 1, "|shown 1\n"}, {1, 5, 1, "<pre>\nshown 1\n</pre>\n|"},  // above 2: the page
        {1, 3, 2, "|"},          {-3, 0, 0, "<pre>\nshown 0\n</pre>\n|"}, // level 0, the page kept
        {-3, 0, 1, "|"},         {1, 2, 1, "|"},                          // the system log: neither stream
    };
    for (const auto &r : rows) {
        cgi_debug_setup(r.level, r.target);
        EXPECT_EQ(trace(r.at, "shown %d", r.at), r.written) << r.level << " " << r.target << " " << r.at;
    }
}

} // namespace
