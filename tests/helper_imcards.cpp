/* helper_imcards: open an image for reading and print its header cards,
 * one per line, for a script to compare with another reader's view.
 * Usage: helper_imcards NAME
 * Exit: 0 done; 1 usage; 2 open failed (the code and the library's reason
 * go to standard error as "im_open: CODE: REASON"). */
#include <cstdio>

#include "imlib.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: helper_imcards NAME\n", stderr);
        return 1;
    }
    int id = im_open(argv[1], "read");
    if (id < 0) {
        std::fprintf(stderr, "im_open: %d: %s\n", id, im_errmsg());
        return 2;
    }
    char card[81];
    for (int rc = im_rkey_t(id, card, "1"); rc > 0; rc = im_rkey_t(id, card, "+"))
        std::puts(card);
    im_close(id);
    return 0;
}
