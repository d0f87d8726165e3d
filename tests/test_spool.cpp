// Spooling a file part: the data up to CR LF + boundary, byte for byte,
// however the input stream's refills split it.
#include "cgi/internal.h"
#include "cgi/stream.h"
#include "tests/support.h"

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <sys/resource.h>
#include <sys/syscall.h>

namespace {

// While set, each write(2) to a file: where it starts, how long, from where.
struct FileWrite {
    const char *from;
    size_t n;
    off_t at;
};
std::vector<FileWrite> *file_writes = nullptr;

} // namespace

extern "C" ssize_t write(int fd, const void *bytes, size_t n)
{
    if (file_writes) {
        off_t at = lseek(fd, 0, SEEK_CUR);
        if (at >= 0)
            file_writes->push_back({static_cast<const char *>(bytes), n, at});
    }
    return static_cast<ssize_t>(syscall(SYS_write, fd, bytes, n));
}

namespace {

// While set, close(2) closes and then reports an I/O error, as NFS may.
bool close_fails = false;

} // namespace

extern "C" int close(int fd)
{
    int r = static_cast<int>(syscall(SYS_close, fd));
    if (close_fails && r == 0) {
        errno = EIO;
        return -1;
    }
    return r;
}

namespace {

struct Spooled {
    bool stored = false;
    std::string data;  // what the spool file holds
    std::string rest;  // what the stream still holds afterwards
    size_t direct = 0; // writes straight from the stream's buffer
    long taken = 0;    // bytes of the stream read
    int refusal = CGI_ACCEPTED;
    bool closed = true;
};

// Spools `input` read through a stream whose buffer holds `buffer` bytes
// (0: the library's default), so refills fall at every position in turn,
// with `pushed` pushed back before anything was read, under `limits` (null:
// those in force) and a body of `left` bytes.
Spooled spool(const std::string &input, const char *boundary, size_t buffer = 0, int pushed = EOF,
              const cgi_limits *limits = nullptr, size_t left = SIZE_MAX)
{
    std::string copy = input + '\0'; // fmemopen wants room for a byte
    FILE *in = input.empty() ? std::fopen("/dev/null", "rb") : fmemopen(&copy[0], input.size(), "rb");
    std::vector<char> buf(buffer ? buffer : 1);
    if (buffer)
        setvbuf(in, buf.data(), _IOFBF, buffer);
    if (pushed != EOF) {
        EXPECT_EQ(ungetc(pushed, in), pushed);
    }
    Spooled s;
    std::vector<FileWrite> writes;
    file_writes = &writes;
    ostrel::Input body(in, limits ? *limits : ostrel::current_limits());
    body.left = left;
    char *path = ostrel::spool_part(body, boundary, &s.closed);
    s.refusal = body.refusal;
    s.taken = std::ftell(in);
    file_writes = nullptr;
    // Those from the stream's buffer are whole pages at page-aligned offsets.
    auto start = reinterpret_cast<uintptr_t>(buf.data());
    for (const auto &w : writes) {
        auto from = reinterpret_cast<uintptr_t>(w.from);
        if (buffer > 0 && from >= start && from < start + buffer) {
            EXPECT_EQ(w.at % 4096, 0) << "a write at " << w.at;
            EXPECT_EQ(w.n % 4096, 0u) << "a write of " << w.n;
            s.direct++;
        }
    }
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
        {"", ""},                         // an empty file
        {"a\r\n-\r\nb", "a\r\n-\r\nb"},   // CR LF without the boundary
        {"ends in CR\r", "ends in CR\r"}, // a CR right before the delimiter
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
        {"data\r\n--XyZ--\r\nepilogue\n", "data", "\r\nepilogue\n"},         // nothing read past the final one
        {"data\r\n--XyZabcdefghij\r\n", "data", "hij\r\n"},                  // at most boundary + 2 bytes of the line
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

// A byte pushed back before anything was read lies outside the stream's
// buffer (glibc's backup area, uClibc-ng's __ungot), as does one that
// ungetc returns after a refill of that byte alone (uClibc-ng): it is data,
// or starts the delimiter or a match that breaks.
TEST_F(Spool, ByteThatWasPushedBackFirst)
{
    const struct {
        const char *input;
        int pushed;
        const char *data;
    } cases[] = {
        {"ata\r\n--XyZ\r\nrest\n", 'd', "data"},
        {"\n--XyZ\r\nrest\n", '\r', ""},
        {"\n--XyQ\r\n--XyZ\r\nrest\n", '\r', "\r\n--XyQ"},
        {"\r\n--XyZ\r\nrest\n", '\r', "\r"},
    };
    for (const auto &c : cases) {
        for (size_t buffer = 0; buffer <= std::strlen(c.input) + 1; buffer++) {
            Spooled s = spool(c.input, "--XyZ", buffer, c.pushed);
            EXPECT_TRUE(s.stored) << c.input << " buffer " << buffer;
            EXPECT_EQ(s.data, c.data) << c.input << " buffer " << buffer;
            EXPECT_EQ(s.rest, "rest\n") << c.input << " buffer " << buffer;
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
        ASSERT_EQ(s.rest, "\r\nrest\n") << "buffer " << buffer;
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
// makes its bytes data, even where a later CR in them starts the delimiter;
// the CR that breaks one ("\r\n-" then "\r") starts the next.  Stream
// buffers of every size give the same result as bytes one by one.
TEST_F(Spool, CarriageReturnInTheBoundary)
{
    std::string data = "x\r\n--a\r\n--a\rbc\r\n-";
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
            case 1: payload += "\r\n--"; break;
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
        ASSERT_EQ(s.rest, "\r\nrest") << "round " << round;
    }
}

// Data shaped for the spool's limits: pieces of 16 KiB - 1 bytes (as fgets
// once read them), its 256 KiB output buffer, and stretches of 32 KiB or
// more written straight from the stream's buffer; each through stream
// buffers from one byte to more than the output buffer.
TEST_F(Spool, AtTheLimitsOfPiecesBuffersAndPages)
{
    const size_t piece = (1 << 14) - 1, output = 1 << 18, direct = 1 << 15, page = 4096;
    auto run = [](size_t n, char c = 'x') { return std::string(n, c); };
    auto lines = [](size_t n, size_t length) { // lines of `length` bytes with their LF
        std::string s;
        while (s.size() < n)
            s += s.size() % length == length - 1 ? '\n' : 'l';
        return s;
    };
    const std::string nul(1, '\0');
    std::vector<std::pair<std::string, std::string>> cases;
    for (size_t d : {0, 1, 2, 3}) {
        // The delimiter's CR, or a partial delimiter that the next read
        // breaks, around the end of a full piece.
        cases.push_back({"run " + std::to_string(piece - 2 + d), run(piece - 2 + d)});
        cases.push_back({"broken at piece end " + std::to_string(d), run(piece - 2 + d) + "\r\n--XyQ" + run(9)});
        cases.push_back({"CR CR at piece end " + std::to_string(d), run(piece - 2 + d) + "\r\r\n--Xy\r\n-"});
        cases.push_back({"NUL at piece end " + std::to_string(d), run(piece - 2 + d) + nul + "\n" + nul + "\r"});
        // Up to the output buffer's end (in lines of 64 bytes, the last
        // piece before it is flushed ends exactly there) and past it.
        cases.push_back({"lines to the buffer's end " + std::to_string(d), lines(output - 2 + d, 64)});
        cases.push_back({"run to the buffer's end " + std::to_string(d), run(output - 17 + d)});
        cases.push_back({"run past the buffer " + std::to_string(d), run(output - 1 + d) + "\r\n--X"});
        // Stretches around a direct write's least size and around pages.
        cases.push_back({"stretch " + std::to_string(direct - 2 + d), run(direct - 2 + d)});
        cases.push_back({"pages " + std::to_string(d), run(9 * page - 1 + d % 3) + run(d * 700, '\r')});
    }
    cases.push_back({"NUL around LF", lines(40000, 50) + nul + "\n" + nul + "\n\n" + nul + nul + "\r" + nul});
    std::string mixed; // runs of every length, line ends, NUL and partial delimiters
    std::mt19937 rng(16);
    const char *salts[] = {"\r", "\n", "\r\n", "\r\n--Xy", "\r\n--XyZ"};
    while (mixed.size() < 700000)
        mixed += rng() % 3 ? run(rng() % 40000, static_cast<char>(rng() % 3)) : std::string(salts[rng() % 5]);
    for (size_t at; (at = mixed.find("\r\n--XyZ")) != std::string::npos;)
        mixed[at + 1] = '\0';
    cases.push_back({"mixed", mixed});

    size_t direct_writes = 0;
    for (const auto &c : cases) {
        for (size_t buffer : {size_t{0}, size_t{1}, size_t{7}, page, 4 * direct + 1, output + 1}) {
            Spooled s = spool(c.second + "\r\n--XyZ\r\nnext\r\n", "--XyZ", buffer);
            size_t diff =
                std::mismatch(s.data.begin(), s.data.end(), c.second.begin(), c.second.end()).first - s.data.begin();
            EXPECT_TRUE(s.stored && s.data == c.second && s.rest == "next\r\n")
                << c.first << ", buffer " << buffer << ": " << s.data.size() << " bytes of " << c.second.size()
                << ", first difference at " << diff << ", rest " << s.rest.substr(0, 20);
            direct_writes += s.direct;
        }
    }
    if (ostrel::stream_readahead) {
        EXPECT_GT(direct_writes, 0u);
    }
}

// The portable path reads windows of the pattern's length: the delimiter,
// and a match that breaks right before it, at every offset from them,
// after data whose bytes are the boundary's own.
TEST_F(Spool, DelimiterAtEveryOffset)
{
    for (std::string boundary : {"--XyZ", "----WebKitFormBoundary7MA4YWxkTrZu0gW"}) {
        std::string pattern = "\r\n" + boundary, filler;
        while (filler.size() < 2 * pattern.size() + 2)
            filler += boundary.substr(2);
        for (size_t offset = 0; offset <= filler.size(); offset++) {
            for (size_t k : {size_t{0}, size_t{1}, size_t{2}, pattern.size() - 1}) {
                std::string data = filler.substr(0, offset) + pattern.substr(0, k);
                Spooled s = spool(data + pattern + "\r\nrest\n", boundary.c_str());
                ASSERT_TRUE(s.stored && s.data == data && s.rest == "rest\n") << boundary << " " << offset << " " << k;
            }
        }
    }
}

// Reading stops where the body ends (Input::left), wherever that falls:
// in the data, in the delimiter, or in its line.
TEST_F(Spool, NothingReadPastTheBody)
{
    const std::string data = "0123456789abcdefghij", input = data + "\r\n--XyZ\r\nrest\n";
    const size_t delimiter_end = data.size() + 7, line_end = delimiter_end + 2;
    for (size_t buffer : {0, 1, 7}) {
        for (size_t left = 0; left <= input.size(); left++) {
            Spooled s = spool(input, "--XyZ", buffer, EOF, &ostrel::no_limits(), left);
            EXPECT_EQ(s.taken, static_cast<long>(std::min(left, line_end))) << left << " buffer " << buffer;
            EXPECT_EQ(s.stored, left >= delimiter_end) << left << " buffer " << buffer;
            EXPECT_FALSE(s.closed);
            if (s.stored) {
                EXPECT_EQ(s.data, data);
            }
        }
    }
}

// A file part of exactly the limit is stored; a byte more is refused,
// whether the excess falls in a window read whole or at the part's end.
TEST_F(Spool, FileBytesLimit)
{
    for (size_t limit : {size_t{20}, size_t{100000}}) {
        for (size_t n : {limit, limit + 1}) {
            cgi_limits limits = ostrel::no_limits();
            limits.file_bytes = limit;
            Spooled s = spool(std::string(n, 'x') + "\r\n--XyZ--\r\n", "--XyZ", 0, EOF, &limits);
            EXPECT_EQ(s.stored, n == limit) << n;
            EXPECT_EQ(s.refusal, n == limit ? CGI_ACCEPTED : CGI_REFUSED_FILE_BYTES) << n;
        }
    }
}

// A boundary longer than the spool's 256 KiB buffer, and a match of all
// but its last byte before it.
TEST_F(Spool, PatternLongerThanTheBuffer)
{
    std::string boundary = "--";
    for (size_t i = 0; boundary.size() < (300u << 10); i++)
        boundary += static_cast<char>('a' + i % 26);
    std::string near = "\r\n" + boundary;
    near.back() = '!';
    const std::string data = "ab" + near + "cd";
    for (size_t buffer : {0, 4096}) {
        Spooled s = spool(data + "\r\n" + boundary + "\r\nrest\n", boundary.c_str(), buffer);
        EXPECT_TRUE(s.stored && s.data == data) << "buffer " << buffer << ": " << s.data.size() << " bytes";
        EXPECT_EQ(s.rest, "rest\n") << "buffer " << buffer;
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

TEST_F(Spool, FailedCloseStoresNothing)
{
    close_fails = true;
    Spooled s = spool("data\r\n--XyZ\r\nrest\n", "--XyZ");
    close_fails = false;
    EXPECT_FALSE(s.stored);
    EXPECT_EQ(s.rest, "rest\n");
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
