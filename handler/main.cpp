// faxupload.cgi: stores an uploaded fax document and redirects to the
// fax-sending page.
#include "handler/upload.h"

static cgi_request *request;

#ifndef FAXUPLOAD_MAX_DOCUMENT
#define FAXUPLOAD_MAX_DOCUMENT (4 << 20)
#endif

int main()
{
    // One document and its receiver: anything more is not this form's.
    // The body may hold the document, its headers and a few small fields.
    const size_t document = FAXUPLOAD_MAX_DOCUMENT;
    const cgi_limits limits = {16, 1, document, 4096, document + (64 << 10), 0};
    cgi_limits_setup(&limits);
    char dest[FAX_PATH_SIZE] = "/tmp/";
    request = cgi_read_request();
    int result = store_upload(request, dest);
    cgi_free_request(request); // deletes the spool file, after the copy
    write_answer(stdout, result, dest);
    return result;
}
