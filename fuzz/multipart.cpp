// The multipart reader over any body.
//
// Input: a flags byte, the boundary value up to a line feed, then the body.
// Flag bit 0 makes a well-formed body of one file part around the rest of
// the input instead, whose spool file must hold exactly those bytes; bits 1-3
// pick the size of the stream's buffer, so delimiters fall across refills.
// Bit 4 repeats that part's data past 300 KiB and makes the buffer 64 times
// larger, plus one: the spool's pieces, its output buffer and the writes it
// makes straight from the stream's buffer then end at every offset.
#include "fuzz/common.h"

namespace {

const size_t buffer_sizes[] = {0, 1, 2, 3, 17, 127, 128, 4096};

std::string spooled(const char *path)
{
    std::string s;
    FILE *f = std::fopen(path, "rb");
    FUZZ_CHECK(f, "spool file %s cannot be opened", path);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

void check_record(const cgi_request *req)
{
    if (req->variables) {
        for (size_t i = 0; req->variables[i]; i++) {
            const cgi_var *v = req->variables[i];
            FUZZ_CHECK(v->name && v->value, "variable %zu lacks a string", i);
            for (size_t j = 0; j < i; j++)
                FUZZ_CHECK(std::strcmp(req->variables[j]->name, v->name) != 0, "name %s twice", v->name);
        }
    }
    if (req->uploads) {
        for (size_t i = 0; req->uploads[i]; i++) {
            const cgi_upload *u = req->uploads[i];
            FUZZ_CHECK(u->name && u->filename && u->path, "upload %zu lacks a string", i);
            FUZZ_CHECK(!std::strchr(u->filename, '/'), "client file name %s holds a slash", u->filename);
            FUZZ_CHECK(std::strncmp(u->path, "/tmp/ostrel", 11) == 0, "spool path %s", u->path);
            FUZZ_CHECK(fuzz::exists(u->path), "spool file %s is gone before the release", u->path);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
    bool well_formed = data[0] & 1;
    size_t buffer = buffer_sizes[(data[0] >> 1) & 7];
    size_t lf = input.find('\n');
    if (lf == std::string::npos || lf > 72)
        return 0;
    std::string boundary = "--" + input.substr(0, lf);
    std::string body = input.substr(lf + 1);
    if (boundary.find('\0') != std::string::npos)
        return 0;

    std::string payload;
    if (well_formed) {
        if (boundary.find('\r') != std::string::npos)
            return 0;
        payload = body;
        if ((data[0] & 16) && !payload.empty()) {
            while (payload.size() < 300000)
                payload += body;
            buffer = buffer ? buffer * 64 + 1 : 0;
        }
        // The data ends at the first CR LF and boundary.
        if ((payload + "\r\n" + boundary).find("\r\n" + boundary) != payload.size())
            return 0;
        body = boundary +
            "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a%2Fb.sff\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" +
            payload + "\r\n" + boundary + "--\r\n";
    }

    cgi_request *req;
    int refusal;
    {
        fuzz::Input in(reinterpret_cast<const uint8_t *>(body.data()), body.size(), buffer);
        ostrel::Input input(in.get(), ostrel::no_limits());
        req = ostrel::read_multipart(input, boundary.c_str());
        refusal = input.refusal;
    }
    if (req) {
        check_record(req);
        if (well_formed) {
            FUZZ_CHECK(req->uploads && req->uploads[0] && !req->uploads[1], "not one upload");
            const cgi_upload *u = req->uploads[0];
            FUZZ_CHECK(std::strcmp(u->name, "doc") == 0, "field name %s", u->name);
            FUZZ_CHECK(std::strcmp(u->filename, "b.sff") == 0, "client file name %s", u->filename);
            FUZZ_CHECK(u->type && std::strcmp(u->type, "application/octet-stream") == 0, "type");
            FUZZ_CHECK(spooled(u->path) == payload, "spooled bytes differ from the payload");
            FUZZ_CHECK(!req->variables, "a variable from a body without value parts");
        }
    } else {
        // Without limits, only more file parts than spool files can be alive
        // at once are refused; and libFuzzer's allocator has memory enough.
        FUZZ_CHECK(refusal == CGI_REFUSED_FILES, "no record (refusal %d)", refusal);
    }
    cgi_free_request(req);
    fuzz::check_no_spool_left("after the release");
    return 0;
}
