/* The public header compiles as C99 and the library links into a C program. */
#include "cgi/cgi.h"

#include <stdlib.h>
#include <string.h>

int main(void)
{
    char text[] = "a%41b";
    cgi_request *req;
    cgi_var *var;
    cgi_var *vars[2];
    char **names;
    int ok;

    if (strcmp(cgi_decode(text), "aAb") != 0)
        return 1;

    /* A caller may build a record by hand and release it with the library. */
    req = calloc(1, sizeof *req);
    var = calloc(1, sizeof *var);
    if (!req || !var)
        return 2;
    var->name = malloc(11);
    var->value = malloc(4);
    if (!var->name || !var->value)
        return 2;
    strcpy(var->name, "fxreceiver");
    strcpy(var->value, "123");
    vars[0] = var;
    vars[1] = NULL;
    req->variables = malloc(sizeof vars);
    if (!req->variables)
        return 2;
    memcpy(req->variables, vars, sizeof vars);

    ok = cgi_get_value(req, "fxreceiver") && strcmp(cgi_get_value(req, "fxreceiver"), "123") == 0;
    names = cgi_variable_names(req);
    ok = ok && names && strcmp(names[0], "fxreceiver") == 0 && names[1] == NULL;
    cgi_free_list(names);
    cgi_free_request(req);
    return ok ? 0 : 3;
}
