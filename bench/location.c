/* The floor of a CGI request: a process that only writes the redirect line
 * that faxupload.cgi writes after storing a 2 KiB upload. */
#include <stdio.h>

int main(void)
{
    fputs("Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/faxbench.small.pdf.sff\n\n", stdout);
    return 0;
}
