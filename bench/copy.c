/* The floor of storing an upload: standard input written once into standard
 * output (a fresh file) with read and write, in blocks of the size the spool
 * reads.  cat may do better than any CGI program can: it copies inside the
 * kernel (copy_file_range) when both ends are files. */
#include <stdlib.h>
#include <unistd.h>

int main(void)
{
    enum { block = 1 << 18 };
    static char buffer[block];
    for (;;) {
        ssize_t n = read(0, buffer, block);
        if (n == 0)
            return 0;
        if (n < 0)
            return 1;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(1, buffer + done, (size_t)(n - done));
            if (w <= 0)
                return 1;
            done += w;
        }
    }
}
