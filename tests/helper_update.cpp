/* helper_update: open an image for update and close it, after writing one
 * integer keyword when one is given, for a script to judge the file with
 * other readers.
 * Usage: helper_update NAME [KEYWORD VALUE]
 * Exit: 0 closed; 1 usage; 2 open failed; 3 keyword refused; 4 close
 * failed (the code and the library's reason go to standard error). */
#include <cstdio>
#include <cstdlib>

#include "imlib.h"

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        std::fputs("usage: helper_update NAME [KEYWORD VALUE]\n", stderr);
        return 1;
    }
    int id = im_open(argv[1], "update");
    if (id < 0) {
        std::fprintf(stderr, "im_open: %d: %s\n", id, im_errmsg());
        return 2;
    }
    if (argc == 4 && im_wkey_i(id, std::atoi(argv[3]), argv[2]) <= 0)
        return 3;
    const int rc = im_close(id);
    if (rc != 0) {
        std::fprintf(stderr, "im_close: %d: %s\n", rc, im_errmsg());
        return 4;
    }
    return 0;
}
