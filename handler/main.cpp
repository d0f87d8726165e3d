// faxupload.cgi: stores an uploaded fax document and redirects to the
// fax-sending page.
#include "handler/upload.h"

static cgi_request *request;

int main()
{
    char dest[FAX_PATH_SIZE] = "/tmp/";
    request = cgi_read_request();
    int result = store_upload(request, dest);
    cgi_free_request(request); // deletes the spool file, after the copy
    write_answer(stdout, result, dest);
    return result;
}
