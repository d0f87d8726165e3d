// The fax upload handler's decisions, kept apart from the process around them
// so that they can be driven with a hand-made request.
#ifndef FAXUPLOAD_UPLOAD_H
#define FAXUPLOAD_UPLOAD_H

#include "cgi/cgi.h"

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { FAX_PATH_SIZE = 80 };

/* Stores the upload "fxdatei" for the receiver "fxreceiver" as
 * "/tmp/<receiver>.<client file name>.sff".  `dest` (FAX_PATH_SIZE bytes)
 * receives that path.  0 when the document was stored, 1 otherwise.  A
 * spool file renamed into place leaves its upload without a path. */
int store_upload(cgi_request *req, char *dest);

/* Writes the redirect to the fax-sending page; with result 0 it carries the
 * stored path, percent-encoded, as faxfile. */
void write_answer(FILE *out, int result, const char *dest);

/* Copies src to dst byte for byte through a new file beside dst that is
 * renamed into place, so dst is never partial and never written through a
 * symbolic link.  0 on success, 1 on any failure. */
int copy_file(const char *src, const char *dst);

#ifdef __cplusplus
}
#endif

#endif
