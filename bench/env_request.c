/* faxupload.cgi's steps, with CGI variables whose values are read from files:
 *   env_request NAME=file...
 * Linux starts a program with at most 128 KiB in any one environment string,
 * far less than the query string and cookie worst cases need, so those reach
 * the library through setenv here instead. */
#include "handler/upload.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char *read_all(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    size_t size = 0, capacity = 1 << 16;
    char *text = malloc(capacity);
    size_t n;
    while (text && (n = fread(text + size, 1, capacity - size - 1, f)) > 0) {
        size += n;
        if (capacity - size < 2) {
            char *grown = realloc(text, capacity * 2);
            if (!grown) {
                free(text);
                text = NULL;
                break;
            }
            text = grown;
            capacity *= 2;
        }
    }
    fclose(f);
    if (text)
        text[size] = '\0';
    return text;
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        char *eq = strchr(argv[i], '=');
        if (!eq)
            return 2;
        *eq = '\0';
        char *value = read_all(eq + 1);
        if (!value || setenv(argv[i], value, 1) != 0)
            return 2;
        free(value);
    }
    /* The readers' cost at scale, not the limits': no field limit. */
    const cgi_limits wide = {(size_t)-1, 0, 0, (size_t)-1, (size_t)-1, 0};
    cgi_limits_setup(&wide);
    char dest[FAX_PATH_SIZE] = "/tmp/";
    cgi_request *request = cgi_read_request();
    int result = store_upload(request, dest);
    cgi_free_request(request);
    write_answer(stdout, result, dest);
    return result;
}
