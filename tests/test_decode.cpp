// Percent-decoding, in place.
#include "tests/support.h"

#include <cstring>

namespace {

std::string decoded(std::string s)
{
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    return cgi_decode(buf.data());
}

TEST(Decode, Escapes)
{
    const std::pair<const char *, const char *> cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"a%41b", "aAb"},
        {"%2b", "+"},
        {"%2B", "+"},
        {"%e4", "\xe4"},
        {"%E4", "\xe4"},
        {"%FF", "\xff"},
        {"%39%9f", "9\x9f"},
        {"a+b", "a+b"}, // "+" is the form reader's business
        {"%zz", "zz"},  // a malformed escape loses only its "%"
        {"%G1", "G1"},
        {"%g1%@1%/1%:1", "g1@1/1:1"}, // the neighbours of the digits' ranges
        {"%4z", "4z"},
        {"100%", "100"},
        {"ends in %4", "ends in 4"},
        {"%%41", "A"}, // the second "%" starts an escape
        {"%%%", ""},
        {"\x80%41\xff",
         "\x80"
         "A\xff"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decoded(c.first), c.second) << c.first;
}

TEST(Decode, ZeroFillsBehindTheText)
{
    char text[] = "abc%41%42";
    EXPECT_EQ(cgi_decode(text), text);
    EXPECT_EQ(0, std::memcmp(text, "abcAB\0\0\0\0\0", sizeof text));
}

TEST(Decode, EscapedZeroEndsTheString)
{
    char text[] = "a%00b";
    cgi_decode(text);
    EXPECT_EQ(0, std::memcmp(text, "a\0b\0\0\0", sizeof text));
}

} // namespace
