// The line reader: its buffer and trace, and its lines against the plain
// fgets loop that defines it: the same lines, and the stream left at the
// same place after each, however the stream's refills split the input.
// Built twice: once as the library is, once with the line reader using only
// the standard calls.
#include "cgi/internal.h"
#include "tests/support.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Steps of 128 bytes, then by half the capacity rounded up to 128.
TEST(ReadLine, BufferGrowsInSteps)
{
    const std::pair<size_t, size_t> steps[] = {
        {128, 256}, {256, 384}, {384, 640}, {640, 1024}, {1000, 1512}, {1 << 20, 3 << 19},
    };
    for (const auto &s : steps)
        EXPECT_EQ(ostrel::grown_line_capacity(s.first), s.second) << s.first;
    // A line as long as the buffer, LF included, still needs room for its NUL.
    size_t before = ostrel::line_buffer_capacity();
    if (before == 0) { // the first line of the process makes the buffer
        test::Bytes first("x\n");
        ASSERT_NE(cgi_read_line(first), nullptr);
        before = ostrel::line_buffer_capacity();
    }
    std::string input = std::string(before - 1, 'y') + "\n";
    test::Bytes in(input);
    const char *line = cgi_read_line(in);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::strlen(line), before - 1);
    EXPECT_EQ(ostrel::line_buffer_capacity(), ostrel::grown_line_capacity(before));
}

TEST(ReadLine, LinesLongerThanAnyBuffer)
{
    std::string big(3 << 20, 'y');
    for (size_t i = 0; i < big.size(); i += 997)
        big[i] = static_cast<char>('a' + i % 26);
    std::string input = big + "\n" + "short\n";
    test::Bytes in(input);
    const char *line = cgi_read_line(in);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line == big);
    EXPECT_STREQ(cgi_read_line(in), "short");
}

TEST(ReadLine, TraceAtLevelFour)
{
    std::string input = "hello\r\n";
    test::Bytes in(input);
    std::string err = test::capture_stderr([&] {
        cgi_debug_setup(4, 1);
        cgi_read_line(in);
        cgi_debug_setup(0, 1);
    });
    EXPECT_EQ(err, "Read line 'hello'\n");
}

// Pieces of at most 127 bytes through fgets; a piece's text ends at its
// first NUL.
bool reference_line(FILE *in, std::string &line)
{
    line.clear();
    do {
        if (std::feof(in))
            return false;
        char piece[128];
        if (!std::fgets(piece, sizeof piece, in))
            return false;
        line += piece;
    } while (line.empty() || line.back() != '\n');
    line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

struct Stream {
    std::string bytes;
    std::vector<char> buffer;
    FILE *f;
    Stream(const std::string &input, size_t buffer_size, int pushed = EOF)
        : bytes(input + '\0'), buffer(buffer_size ? buffer_size : 1)
    {
        f = fmemopen(&bytes[0], input.size(), "rb");
        if (buffer_size)
            setvbuf(f, buffer.data(), _IOFBF, buffer_size);
        if (pushed != EOF)
            ungetc(pushed, f);
    }
    ~Stream() { std::fclose(f); }
};

void expect_same_lines(const std::string &input, size_t buffer_size, int pushed = EOF)
{
    Stream ours(input, buffer_size, pushed), theirs(input, buffer_size, pushed);
    for (int n = 0;; n++) {
        std::string expected;
        bool more = reference_line(theirs.f, expected);
        const char *line = cgi_read_line(ours.f);
        ASSERT_EQ(line != nullptr, more) << "line " << n << ", buffer " << buffer_size;
        ASSERT_EQ(std::ftell(ours.f), std::ftell(theirs.f)) << "line " << n << ", buffer " << buffer_size;
        if (!more) {
            ASSERT_EQ(cgi_read_line(ours.f), nullptr) << "again at the end, buffer " << buffer_size;
            break;
        }
        ASSERT_EQ(line, expected) << "line " << n << ", buffer " << buffer_size;
    }
}

const size_t buffer_sizes[] = {0, 1, 2, 3, 7, 126, 127, 128, 129, 254, 255, 1000};

TEST(ReadLine, MatchesThePieceByPieceReading)
{
    const std::string inputs[] = {
        "a\r\nb\nc\r\r\n\r\n\nlast",
        std::string(126, 'x') + "\n" + std::string(127, 'y') + "\n" + std::string(128, 'z') + "\r\n",
        std::string(127, 'x') + "\r\n" + std::string(254, 'y') + "\n" + std::string(1000, 'z') + "\n",
        std::string("ab\0cd\nef\n", 9),                                // a NUL hides the rest of its piece
        std::string("\0\nnext\n", 7),                                  // an empty first piece
        std::string(130, 'x') + std::string("\0tail\n", 6) + "more\n", // NUL in a later piece
        "no line feed at all",
        "",
    };
    for (const auto &input : inputs)
        for (size_t buffer : buffer_sizes)
            expect_same_lines(input, buffer);
}

// A byte pushed back before anything was read lies outside the stream's
// buffer (glibc's backup area, uClibc-ng's __ungot): it comes first.
TEST(ReadLine, ByteThatWasPushedBackFirst)
{
    for (const char *input : {"ET / HTTP/1.0\r\n\nnext\n", "\n", "", "ET"})
        for (size_t buffer : buffer_sizes)
            expect_same_lines(input, buffer, 'G');
}

TEST(ReadLine, RandomInputs)
{
    std::mt19937 rng(1208);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0', '-', '\xff'};
    for (int round = 0; round < 200; round++) {
        std::string input;
        for (size_t n = rng() % 2000; input.size() < n;) {
            if (rng() % 8 == 0)
                input.append(rng() % 400, 'x'); // long runs make pieces of 127
            else
                input += alphabet[rng() % sizeof alphabet];
        }
        expect_same_lines(input, buffer_sizes[rng() % (sizeof buffer_sizes / sizeof *buffer_sizes)]);
        if (HasFatalFailure())
            return;
    }
}

} // namespace
