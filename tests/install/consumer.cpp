// Built against the installed tree: the C header used from C++.
#include <cgi/cgi.h>

#include <cstdio>
#include <string>

int main()
{
    std::string text = "fax%2Fnr=%31%32";
    if (std::string(cgi_decode(&text[0])) != "fax/nr=12")
        return 1;
    cgi_free_request(nullptr);
    std::puts("c++ consumer ok");
    return 0;
}
