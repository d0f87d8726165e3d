// The variables index's name hash: SipHash-1-3, or HalfSipHash-1-3 where
// pointers are 32 bits, under a key of the process's own.  Names that
// collide in the index cannot then be prepared ahead, not even against a
// static program, whose addresses are fixed when it is linked.
#include "cgi/internal.h"
#include "cgi/siphash.h"

#include <cerrno>
#include <cstring>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

// The key's sources, best first; OSTREL_NO_* leave one out (for the tests).
#if defined(OSTREL_HAVE_GETAUXVAL) && !defined(OSTREL_NO_GETAUXVAL)
#define KEY_FROM_AUXV 1
#include <sys/auxv.h>
#endif
#if defined(OSTREL_HAVE_GETRANDOM) && !defined(OSTREL_NO_GETRANDOM)
#define KEY_FROM_GETRANDOM 1
#include <sys/random.h>
#endif

namespace ostrel {

namespace {

// On 32-bit processors SipHash's 64-bit words take two registers each and
// add-with-carry pairs; HalfSipHash needs neither (its cost measured in
// docs/benchmarks.md), and the index keeps only 32 bits of a hash anyway.
#if UINTPTR_MAX > 0xffffffffu
using Word = uint64_t;
#else
using Word = uint32_t;
#endif

Word key[2];
const char *key_source; // null until the key is made

// 16 random bytes from the kernel, or false.
bool from_auxv(unsigned char *out)
{
#ifdef KEY_FROM_AUXV
    // Linux puts 16 random bytes in every program's auxiliary vector; the C
    // library's stack protector takes its canary from them, so they are
    // read here, never changed, and the key is derived from them one-way.
    const void *random = reinterpret_cast<const void *>(getauxval(AT_RANDOM));
    if (random)
        std::memcpy(out, random, 16);
    return random != nullptr;
#else
    (void)out;
    return false;
#endif
}

bool from_getrandom(unsigned char *out)
{
#ifdef KEY_FROM_GETRANDOM
    // Without waiting for the pool at early boot: the program answers a
    // request, and the next source is there.
    return getrandom(out, 16, GRND_NONBLOCK) == 16;
#else
    (void)out;
    return false;
#endif
}

bool from_urandom(unsigned char *out)
{
#ifndef OSTREL_NO_URANDOM
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got < 16) {
        ssize_t n = read(fd, out + got, 16 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return got == 16;
#else
    (void)out;
    return false;
#endif
}

// Last resort: what differs between two runs of the program, guessable in
// part, but not prepared ahead of the request like a fixed seed.
size_t from_clock(unsigned char *out)
{
    timespec real{}, mono{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    uint64_t clues[] = {static_cast<uint64_t>(real.tv_nsec), static_cast<uint64_t>(mono.tv_nsec),
                        reinterpret_cast<uintptr_t>(&real),  reinterpret_cast<uintptr_t>(&key),
                        static_cast<uint64_t>(real.tv_sec),  static_cast<uint64_t>(mono.tv_sec),
                        static_cast<uint64_t>(getpid())};
    std::memcpy(out, clues, sizeof clues);
    return sizeof clues;
}

// The key words from n bytes of material (n at least the key's size): the
// first ones key SipHash-2-4 (of this word size), the rest and a counter are
// its message.  The material cannot be told from the key.
void derive_key(const unsigned char *material, size_t n)
{
    Word prf[2];
    std::memcpy(prf, material, sizeof prf);
    unsigned char message[64];
    size_t rest = n - sizeof prf;
    std::memcpy(message, material + sizeof prf, rest);
    for (unsigned char i = 0; i < 2; i++) {
        message[rest] = i;
        key[i] = siphash<Word, 2, 4>(prf, message, rest + 1);
    }
}

void make_key()
{
    int saved = errno;
    unsigned char material[64];
    size_t n = 16;
    if (from_auxv(material))
        key_source = "getauxval";
    else if (from_getrandom(material))
        key_source = "getrandom";
    else if (from_urandom(material))
        key_source = "urandom";
    else {
        n = from_clock(material);
        key_source = "clock";
    }
    derive_key(material, n);
    errno = saved;
}

} // namespace

unsigned hash_name(const char *name)
{
    if (!key_source)
        make_key();
    return static_cast<unsigned>(siphash<Word, 1, 3>(key, name, std::strlen(name)));
}

const char *hash_key_source() { return key_source; }

} // namespace ostrel
