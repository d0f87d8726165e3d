/* Built against the installed tree: header, library and nothing else. */
#include <cgi/cgi.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char text[] = "fax%2Fnr=%31%32";
    char **names = cgi_variable_names(NULL);

    cgi_free_list(names);
    cgi_free_request(NULL);
    if (strcmp(cgi_decode(text), "fax/nr=12") != 0)
        return 1;
    puts("c consumer ok");
    return 0;
}
