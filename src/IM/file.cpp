/* file: blank pixel patterns, indexed keyword names and the file summary.
 * The blank patterns are copied bit for bit, never computed.  im_key
 * returns one static 16-byte buffer, overwritten by every call. */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "im.h"

/* im_blank: store the float blank (all 32 bits set) at ptr. */
void im_blank(float *ptr)
{
    if (ptr == nullptr)
        return;
    const uint32_t bits = IM_FLOAT_BLANK_BITS;
    std::memcpy(ptr, &bits, sizeof bits);
}

/* im_blankd: store the double blank at ptr: the 64-bit value
 * FFFFFFFF7FFFFFFF in host order, the same number on every host. */
void im_blankd(double *ptr)
{
    if (ptr == nullptr)
        return;
    const uint64_t bits = IM_DOUBLE_BLANK_BITS;
    std::memcpy(ptr, &bits, sizeof bits);
}

/* im_key: base followed by n in decimal ("%s%d") in a static buffer,
 * valid until the next call.  A result longer than 15 characters is cut
 * to its first 15; a null base counts as empty. */
char *im_key(const char *base, int n)
{
    static char buf[16];
    std::snprintf(buf, sizeof buf, "%s%d", base != nullptr ? base : "", n);
    return buf;
}

/* Name of a file form for the summary's title line. */
static const char *type_name(file_type_enum t)
{
    switch (t) {
    case Type_fits: return "FITS";
    case Type_zz: return "ZZ";
    case Type_iraf: return "IRAF";
    case Type_S: return "S";
    case Type_unknown: return "????";
    default: return "????";
    }
}

/* Print the summary of the current image: title, ruler, every card as
 * seen through its window (as im_rkey_t reads it), closing line.  The
 * current card does not move. */
static void print_summary(void)
{
    std::printf("------- %s file={%s}\n", type_name(f->file_type), f->user_filename);
    for (int i = 0; i < 7; i++)
        std::fputs("1234567890", stdout);
    std::fputs("123456789\n", stdout);
    char card[IM_CARD_LEN + 1];
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next) {
        IM_card_seen(f, h, card);
        std::printf("%s\n", card);
    }
    std::fputs("-------\n", stdout);
}

/* Print one card of the dump: label, node, neighbours, text; a missing
 * card is printed as "(none)". */
static void dump_card(const char *label, const header_struct *h)
{
    if (h == nullptr) {
        std::printf("%s (none)\n", label);
        return;
    }
    std::printf("%s %p %p %p %s\n", label, static_cast<const void *>(h),
                static_cast<const void *>(h->prev), static_cast<const void *>(h->next),
                h->text);
}

/* Print the card-list dump of the current image: counts, last and current
 * card, every card with its neighbours, every free slot. */
static void print_dump(void)
{
    std::printf("n_headers = %d\n", f->n_headers);
    dump_card("last", f->last_header);
    dump_card("cur", f->cur_header);
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
        std::printf("%p %p %p %s\n", static_cast<const void *>(h),
                    static_cast<const void *>(h->prev), static_cast<const void *>(h->next),
                    h->text);
    for (const header_struct *h = f->free_header; h != nullptr; h = h->next)
        std::printf("free %p %p %s\n", static_cast<const void *>(h),
                    static_cast<const void *>(h->next), h->text);
}

/* im_file: operation 'p' prints the header summary, 'q' the card-list
 * dump, on standard output; 'd' discards the image: it is released
 * without being completed, and a new image's files that it created are
 * removed (files that existed under its names stay); anything else does
 * nothing.  Returns 0, or -3 handle not open (nothing done). */
int im_file(int id, const char *operation)
{
    if (IM_set_fid(id) < 0)
        return -3;
    if (operation == nullptr)
        return 0;
    switch (operation[0]) {
    case 'p':
        print_summary();
        break;
    case 'q':
        print_dump();
        break;
    case 'd':
        IM_discard();
        break;
    default:
        break;
    }
    return 0;
}
