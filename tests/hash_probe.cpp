// Prints where this process's name-hash key came from and the hashes of a
// few fixed names: two runs print the same hashes only when their keys are
// the same.  tests/CMakeLists.txt builds one for each source of the key.
#include "cgi/internal.h"

#include <cstdio>

int main()
{
    unsigned a = ostrel::hash_name(""), b = ostrel::hash_name("fxreceiver"),
             c = ostrel::hash_name("a name longer than two blocks");
    std::printf("%s %08x %08x %08x\n", ostrel::hash_key_source(), a, b, c);
    return 0;
}
