// Hash flooding through the form reader: a URL-encoded POST body of names
// prepared to collide in the variables index under the hash it once used
// (FNV-1a from a seed that a static program fixes at link time), beside a
// body of as many ordinary names of the same length.
//   faxbench_flood make crafted|ordinary N [SEED_ADDRESS] > body
//   faxbench_flood read ROUNDS BODY...
// `read` prints, for each body, the median CPU nanoseconds of reading it and
// the number of variables read.  SEED_ADDRESS is where the old seed lived (nm shows it
// in a static program); the default stands for any fixed one.
#include "cgi/internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Built for static musl programs too, which have no C++ runtime: the C
// library alone.
namespace {

// The old name hash: FNV-1a 64 from 1469598103934665603 ^ &seed, folded.
unsigned old_hash(const char *s, uint64_t seed)
{
    uint64_t h = seed;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
        h = (h ^ *p) * 1099511628211ULL;
    return static_cast<unsigned>(h ^ (h >> 29));
}

// Name number i: "f" and i in base 62, five digits wide.
void name(uint64_t i, char s[7])
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    s[0] = 'f';
    for (int k = 5; k >= 1; k--, i /= 62)
        s[k] = digits[i % 62];
    s[6] = '\0';
}

// An index of 2^18 slots holds up to 131072 names.  Names whose slot there
// is below 1024 fall below 1024 in every smaller index too: linear probing
// makes them one cluster, and each new name walks all of it.  About one
// name in 256 qualifies.
bool crafted(const char *s, uint64_t seed) { return (old_hash(s, seed) & 0x3ffff) < 1024; }

int make_body(bool craft, long n, uint64_t address)
{
    uint64_t seed = 1469598103934665603ULL ^ address;
    char s[7];
    uint64_t i = 0;
    for (long made = 0; made < n; i++) {
        name(i, s);
        if (craft && !crafted(s, seed))
            continue;
        std::printf("%s%s=v", made++ ? "&" : "", s);
    }
    return std::fflush(stdout) || std::ferror(stdout) ? 1 : 0;
}

// The one place that reads a body: when the reader bounds the number of
// fields, this is where the benchmark raises the bound.
cgi_request *read_body(char *body, size_t size)
{
    FILE *in = fmemopen(body, size, "rb");
    if (!in)
        return nullptr;
    char length[32];
    std::snprintf(length, sizeof length, "%zu", size);
    ostrel::FormInput input{"application/x-www-form-urlencoded", "POST", length, nullptr};
    cgi_request *req = ostrel::read_form(in, input);
    std::fclose(in);
    return req;
}

// CPU time: under background load the wall time waits for a processor.
long long cpu_ns()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int compare(const void *a, const void *b)
{
    long long x = *static_cast<const long long *>(a), y = *static_cast<const long long *>(b);
    return x < y ? -1 : x > y;
}

struct Body { // calloc'd
    char *text;
    size_t size;
    long long *times;
    size_t variables;
};

bool load(const char *path, Body &b)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long end = std::ftell(f);
        std::rewind(f);
        b.size = end > 0 ? static_cast<size_t>(end) : 0;
        b.text = b.size ? static_cast<char *>(std::malloc(b.size)) : nullptr;
        if (b.text && std::fread(b.text, 1, b.size, f) != b.size) {
            std::free(b.text);
            b.text = nullptr;
        }
    }
    std::fclose(f);
    return b.text != nullptr;
}

// One read of a body: its time, and how many variables it gave.
bool read_once(Body &b, int round)
{
    long long start = cpu_ns();
    cgi_request *req = read_body(b.text, b.size);
    b.times[round] = cpu_ns() - start;
    if (!req || !req->variables)
        return false;
    for (b.variables = 0; req->variables[b.variables];)
        b.variables++;
    cgi_free_request(req);
    return true;
}

// Reads the bodies in turns, once per round each, so that changes in the
// machine's load meet them alike; prints each one's median and variables.
int time_reads(int rounds, int n, char **paths)
{
    Body *bodies = static_cast<Body *>(std::calloc(static_cast<size_t>(n), sizeof(Body)));
    if (!bodies)
        return 2;
    for (int i = 0; i < n; i++) {
        bodies[i].times = static_cast<long long *>(std::calloc(static_cast<size_t>(rounds), sizeof(long long)));
        if (!bodies[i].times || !load(paths[i], bodies[i]))
            return 2;
    }
    for (int r = 0; r < rounds; r++)
        for (int i = 0; i < n; i++)
            if (!read_once(bodies[(i + r) % n], r))
                return 1;
    for (int i = 0; i < n; i++) {
        std::qsort(bodies[i].times, static_cast<size_t>(rounds), sizeof(long long), compare);
        std::printf("%lld %zu\n", bodies[i].times[rounds / 2], bodies[i].variables);
        std::free(bodies[i].times);
        std::free(bodies[i].text);
    }
    std::free(bodies);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "make") == 0)
        return make_body(std::strcmp(argv[2], "crafted") == 0, std::atol(argv[3]),
                         argc > 4 ? std::strtoull(argv[4], nullptr, 0) : 0x4c7e30);
    if (argc >= 4 && std::strcmp(argv[1], "read") == 0 && std::atoi(argv[2]) > 0)
        return time_reads(std::atoi(argv[2]), argc - 3, argv + 3);
    std::fputs("usage: faxbench_flood make crafted|ordinary N [SEED_ADDRESS] > body\n"
               "       faxbench_flood read ROUNDS BODY...\n",
               stderr);
    return 2;
}
