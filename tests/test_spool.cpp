// Spooling a file part: the data up to CR LF + boundary, byte for byte,
// however the input stream's refills split it.
#include "tests/support.h"

#include <csignal>
#include <random>
#include <sys/resource.h>

namespace {

struct Spooled {
    bool stored = false;
    std::string data; // what the spool file holds
    std::string rest; // what the stream still holds afterwards
};

// Spools `input` read through a stream whose buffer holds `buffer` bytes
// (0: the library's default), so refills fall at every position in turn.
Spooled spool(const std::string &input, const char *boundary, size_t buffer = 0)
{
    std::string copy = input + '\0'; // fmemopen wants room for a byte
    FILE *in = input.empty() ? std::fopen("/dev/null", "rb") : fmemopen(&copy[0], input.size(), "rb");
    std::vector<char> buf(buffer ? buffer : 1);
    if (buffer)
        setvbuf(in, buf.data(), _IOFBF, buffer);
    Spooled s;
    char *path = cgi_spool_part(in, boundary);
    for (int c; (c = getc(in)) != EOF;)
        s.rest += static_cast<char>(c);
    std::fclose(in);
    if (path) {
        s.stored = true;
        s.data = test::read_file(path);
        EXPECT_EQ(std::string(path).rfind("/tmp/ostrel", 0), 0u) << path;
        unlink(path);
        std::free(path);
    }
    return s;
}

class Spool : public test::SpoolWatch {};

TEST_F(Spool, DataEndsAtTheDelimiter)
{
    const std::pair<std::string, std::string> cases[] = {
        {"hello", "hello"},
        {"", ""},                                          // an empty file
        {"a\r\n-\r\nb", "a\r\n-\r\nb"},                    // CR LF without the boundary
        {"ends in CR\r", "ends in CR\r"},                  // a CR right before the delimiter
        {std::string("zero\0bytes\0", 11), std::string("zero\0bytes\0", 11)},
        {"\r\n--Xy: \r\n--XY\r\n--Xy", "\r\n--Xy: \r\n--XY\r\n--Xy"},
        {"\r\r\n\r\n-\r\n--\r\n--X\r\n--Xy", "\r\r\n\r\n-\r\n--\r\n--X\r\n--Xy"},
    };
    for (const auto &c : cases) {
        std::string input = c.first + "\r\n--XyZ\r\nnext line\n";
        Spooled s = spool(input, "--XyZ");
        EXPECT_TRUE(s.stored);
        EXPECT_EQ(s.data, c.second);
        EXPECT_EQ(s.rest, "next line\n");
    }
}

// What the delimiter line leaves on the stream for the next part.
TEST_F(Spool, DelimiterLine)
{
    const struct {
        const char *input, *data, *rest;
    } cases[] = {
        {"one\r\n--XyZ\r\ntwo\r\n--XyZ--\r\n", "one", "two\r\n--XyZ--\r\n"}, // the first delimiter wins
        {"data\r\n--XyZ--\r\nepilogue\n", "data", "epilogue\n"},            // the final one is consumed
        {"data\r\n--XyZabcdefghij\r\n", "data", "hij\r\n"}, // at most boundary + 2 bytes of the line
    };
    for (const auto &c : cases) {
        Spooled s = spool(c.input, "--XyZ");
        EXPECT_EQ(s.data, c.data) << c.input;
        EXPECT_EQ(s.rest, c.rest) << c.input;
    }
}

TEST_F(Spool, InputEndingBeforeTheDelimiterStoresNothing)
{
    for (const char *input : {"", "truncated", "truncated\r\n--X", "truncated\r\n--XyZ"}) {
        Spooled s = spool(input, "--XyZ");
        EXPECT_EQ(s.stored, std::string(input) == "truncated\r\n--XyZ") << input;
    }
}

TEST_F(Spool, HighBytesInTheBoundaryMatch)
{
    Spooled s = spool("a\xe4\r\n--\xe4\xff\r\nrest\n", "--\xe4\xff");
    EXPECT_TRUE(s.stored);
    EXPECT_EQ(s.data, "a\xe4");
    EXPECT_EQ(s.rest, "rest\n");
}

TEST_F(Spool, DelimiterSplitAtEveryRefill)
{
    for (const char *boundary : {"--", "--X", "--XyZ", "----WebKitFormBoundary7MA4YWxkTrZu0gW"}) {
        std::string b = boundary;
        std::string data = "x\r\n" + b.substr(0, b.size() - 1) + "\r\r\n\r\n" + "tail\r";
        if (b == "--")
            data = "x\r\r-\r\ntail\r"; // "\r\n--" would end it
        std::string input = data + "\r\n" + b + "\r\nrest\n";
        for (size_t buffer = 1; buffer <= input.size() + 1; buffer++) {
            Spooled s = spool(input, boundary, buffer);
            ASSERT_TRUE(s.stored) << boundary << " buffer " << buffer;
            ASSERT_EQ(s.data, data) << boundary << " buffer " << buffer;
            ASSERT_EQ(s.rest, "rest\n") << boundary << " buffer " << buffer;
        }
    }
}

// Every CR starts a match that the next bytes break, so a partial delimiter
// is pending at most block ends; then the decision falls in the next block.
TEST_F(Spool, NothingButLineEnds)
{
    std::string data;
    for (int i = 0; i < 200; i++)
        data += i % 7 ? "\r\n" : "\r\n--X";
    std::string input = data + "\r\n--XyZ--\r\nrest\n";
    for (size_t buffer : {0, 1, 2, 3, 4, 5, 6, 7, 8, 13, 64, 100}) {
        Spooled s = spool(input, "--XyZ", buffer);
        ASSERT_TRUE(s.stored) << "buffer " << buffer;
        ASSERT_EQ(s.data, data) << "buffer " << buffer;
        ASSERT_EQ(s.rest, "rest\n") << "buffer " << buffer;
    }
    // Megabytes of them, through the stream buffer that stdin gets.
    std::string big;
    while (big.size() < (3u << 20))
        big += "\r\n";
    Spooled s = spool(big + "\r\n--XyZ\r\nrest\n", "--XyZ", 65536);
    EXPECT_TRUE(s.stored);
    EXPECT_TRUE(s.data == big);
    EXPECT_EQ(s.rest, "rest\n");
}

// A CR inside the boundary (no valid boundary has one): a match that breaks
// makes its bytes data, even where a later CR in them starts the delimiter.
// Stream buffers of every size give the same result as bytes one by one.
TEST_F(Spool, CarriageReturnInTheBoundary)
{
    std::string data = "x\r\n--a\r\n--a\rbc";
    std::string input = data + "\r\n--a\rb\r\nrest\n";
    for (size_t buffer = 0; buffer <= input.size() + 1; buffer++) {
        Spooled s = spool(input, "--a\rb", buffer);
        ASSERT_TRUE(s.stored) << "buffer " << buffer;
        ASSERT_EQ(s.data, data) << "buffer " << buffer;
        ASSERT_EQ(s.rest, "rest\n") << "buffer " << buffer;
    }
}

// Random payloads salted with pieces of the delimiter, random boundaries,
// random stream buffers: the spool holds exactly the payload.
TEST_F(Spool, RandomRoundTrip)
{
    std::mt19937 rng(20261208);
    const std::string bchars = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=?";
    for (int round = 0; round < 300; round++) {
        std::string boundary = "--";
        for (size_t n = 1 + rng() % 70; n > 0; n--)
            boundary += bchars[rng() % bchars.size()];
        std::string pattern = "\r\n" + boundary, payload;
        for (size_t n = rng() % 3000; payload.size() < n;) {
            switch (rng() % 4) {
            case 0:
                payload += pattern.substr(0, rng() % pattern.size()); // never whole
                break;
            case 1:
                payload += "\r\n--";
                break;
            default:
                for (int i = rng() % 40; i > 0; i--)
                    payload += static_cast<char>(rng());
            }
        }
        if (payload.find(pattern) != std::string::npos)
            continue;
        size_t buffer = rng() % 4 ? 1 + rng() % 64 : 0;
        Spooled s = spool(payload + pattern + "--\r\nrest", boundary.c_str(), buffer);
        ASSERT_TRUE(s.stored) << "round " << round;
        ASSERT_EQ(s.data, payload) << "round " << round << " buffer " << buffer;
        ASSERT_EQ(s.rest, "rest") << "round " << round;
    }
}

TEST_F(Spool, LargePartThroughAPipe)
{
    std::string payload;
    std::mt19937 rng(7);
    while (payload.size() < (3u << 20))
        payload += rng() % 16 ? std::string(1, static_cast<char>(rng())) : std::string("\r\n--Xy");
    for (size_t at; (at = payload.find("\r\n--XyZ")) != std::string::npos;)
        payload[at] = 'x';
    std::string input = payload + "\r\n--XyZ--\r\n";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(fds[0]);
        // Small writes, so reads return short pieces.
        for (size_t off = 0; off < input.size();) {
            ssize_t n = write(fds[1], input.data() + off, std::min<size_t>(1000 + off % 7, input.size() - off));
            if (n <= 0)
                _exit(1);
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    FILE *in = fdopen(fds[0], "rb");
    char *path = cgi_spool_part(in, "--XyZ");
    std::fclose(in);
    waitpid(writer, nullptr, 0);
    ASSERT_NE(path, nullptr);
    EXPECT_TRUE(test::read_file(path) == payload);
    unlink(path);
    std::free(path);
}

TEST_F(Spool, FullFileSystemStoresNothing)
{
    // A child with a small file size limit stands in for a full "/tmp/".
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        Spooled s = spool(std::string(100000, 'x') + "\r\n--XyZ\r\nrest\n", "--XyZ");
        _exit(!s.stored && s.rest == "rest\n" ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
