// Micro-benchmarks of the library's inner loops: percent-decoding, the line
// reader, the spool loop and the cookie parser.
#include "cgi/cgi.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

namespace {

// A stream over `text` with a 64 KiB buffer, as stdin has for multipart bodies.
struct MemoryStream {
    std::string text;
    std::string buffer = std::string(65536, '\0');
    FILE *f = nullptr;

    explicit MemoryStream(std::string t) : text(std::move(t)) {}
    ~MemoryStream() { close(); }
    FILE *open()
    {
        close();
        f = fmemopen(&text[0], text.size(), "rb");
        setvbuf(f, &buffer[0], _IOFBF, buffer.size());
        return f;
    }
    void close()
    {
        if (f)
            std::fclose(f);
        f = nullptr;
    }
};

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

void BM_Decode(benchmark::State &state)
{
    // 0: plain text; 1: every third byte starts an escape.
    std::string source(65536, 'a');
    if (state.range(0))
        for (size_t i = 0; i + 3 <= source.size(); i += 9)
            std::memcpy(&source[i], "%2F", 3);
    std::string work;
    for (auto _ : state) {
        work = source;
        benchmark::DoNotOptimize(cgi_decode(&work[0]));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_Decode)->Arg(0)->Arg(1);

void BM_ReadLine(benchmark::State &state)
{
    size_t length = static_cast<size_t>(state.range(0));
    std::string line(length, 'x');
    line += "\r\n";
    std::string text;
    while (text.size() < (4u << 20))
        text += line;
    MemoryStream in(text);
    for (auto _ : state) {
        FILE *f = in.open();
        while (char *l = cgi_read_line(f))
            benchmark::DoNotOptimize(l);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadLine)->Arg(2)->Arg(60)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

const char boundary[] = "----faxbenchBoundary7MA4YWxkTrZu0gW";

void BM_Spool(benchmark::State &state)
{
    // 0: random bytes salted with CR LF and delimiter fragments; 1: only CR LF.
    size_t size = 8u << 20;
    std::string data;
    if (state.range(0) == 0) {
        data = random_bytes(size, 1);
        for (size_t i = 512; i + 64 < size; i += 4096)
            std::memcpy(&data[i], "\r\n", 2);
        for (size_t i = 2048; i + 64 < size; i += 16384) {
            std::memcpy(&data[i], "\r\n", 2);
            std::memcpy(&data[i + 2], boundary, 20); // a fragment, then a mismatch
            data[i + 22] = 'X';
        }
    } else {
        for (size_t i = 0; i < size / 2; i++)
            data += "\r\n";
    }
    MemoryStream in(data + "\r\n" + boundary + "--\r\n");
    // 8 MiB is above the default file limit, which would refuse every pass.
    const cgi_limits wide = {0, 0, SIZE_MAX, 0, SIZE_MAX, 0};
    cgi_limits_setup(&wide);
    for (auto _ : state) {
        char *path = cgi_spool_part(in.open(), boundary);
        if (!path) {
            state.SkipWithError("spool failed");
            break;
        }
        unlink(path);
        std::free(path);
    }
    cgi_limits_setup(nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Spool)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Cookies(benchmark::State &state)
{
    std::string header;
    for (int64_t i = 0; i < state.range(0); i++)
        header += (i ? "; c" : "c") + std::to_string(i) + "=v" + std::to_string(i);
    setenv("HTTP_COOKIE", header.c_str(), 1);
    for (auto _ : state) {
        cgi_request *req = static_cast<cgi_request *>(std::calloc(1, sizeof *req));
        req->cookies = cgi_read_cookies();
        benchmark::DoNotOptimize(req->cookies);
        cgi_free_request(req);
    }
    unsetenv("HTTP_COOKIE");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * header.size()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Cookies)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
