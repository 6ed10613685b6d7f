/* misc: image descriptors and the handle ring, host byte order and swapping,
 * and header writing.
 * Descriptors form one doubly linked ring anchored at head_fid, newest
 * first; handles count up from 1 and are never reused.  f is the current
 * descriptor, set by IM_set_fid on entry to every public operation. */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "im.h"

fid_struct *im_internal::f = nullptr;
int im_rawflag = 0;

/* The ring's anchor: only its links are used; its id and magic stay 0.
 * The links start null and are pointed at the head itself on first use. */
static fid_struct head_fid;

static void ring_init(void)
{
    if (head_fid.rlink == nullptr) {
        head_fid.llink = &head_fid;
        head_fid.rlink = &head_fid;
    }
}

/* new_fid: allocate a zero-filled descriptor, link it after head_fid and
 * give it the next handle.  Ends the process (status 1) when out of memory.
 * Does not set f. */
fid_struct *im_internal::new_fid(void)
{
    static int next_id = 1;
    ring_init();
    fid_struct *p = static_cast<fid_struct *>(std::calloc(1, sizeof(fid_struct)));
    if (p == nullptr) {
        std::fputs("Cannot malloc space in new_fid()\n", stderr);
        std::exit(1);
    }
    p->llink = &head_fid;
    p->rlink = head_fid.rlink;
    head_fid.rlink->llink = p;
    head_fid.rlink = p;
    p->id = next_id;
    /* Handles stay positive: after INT_MAX opens the counter stops rather
     * than wrapping to negative numbers, which callers read as failures. */
    if (next_id < 2147483647)
        next_id++;
    return p;
}

/* destroy_fid: unlink p from the ring and release it.  Leaves f null. */
void im_internal::destroy_fid(fid_struct *p)
{
    p->llink->rlink = p->rlink;
    p->rlink->llink = p->llink;
    std::free(p);
    f = nullptr;
}

/* find_fid: the descriptor with handle id, newest first, or null.
 * Never returns the head record. */
fid_struct *im_internal::find_fid(int id)
{
    ring_init();
    for (fid_struct *p = head_fid.rlink; p != &head_fid; p = p->rlink)
        if (p->id == id)
            return p;
    return nullptr;
}

/* IM_set_fid: make the descriptor of handle id current.
 * Returns 0, or -3 when there is none or it is not valid; f is overwritten
 * either way (null when nothing has the handle). */
int im_internal::IM_set_fid(int id)
{
    f = find_fid(id);
    if (f == nullptr || f->magic != FID_MAGIC)
        return -3;
    return 0;
}

/* im_byteorder: 1 when the host stores the most significant byte first,
 * 0 when least significant first; any other layout ends the process. */
int im_byteorder(void)
{
    uint32_t probe = 0x12345678u;
    unsigned char b[4];
    std::memcpy(b, &probe, sizeof b);
    if (b[0] == 0x12 && b[1] == 0x34)
        return 1;
    if (b[0] == 0x78 && b[1] == 0x56)
        return 0;
    std::fputs("fatal error:  unrecognized byte order on this machine\n", stderr);
    std::exit(1);
}

/* IM_swap_2/4/8: reverse each group of 2, 4 or 8 bytes in place on a
 * little-endian host; n counts bytes.  Nothing on a big-endian host.
 * The wider swaps are written with vector types, shifts and masks:
 * compilers turn the scalar idiom into a byte-swap instruction that has no
 * vector form on the baseline instruction set, while these have one.  Each
 * is also built for AVX2 and picked at load time. */
typedef uint16_t im_v8u16 __attribute__((vector_size(16)));
typedef uint32_t im_v4u32 __attribute__((vector_size(16)));
typedef uint64_t im_v2u64 __attribute__((vector_size(16)));

IM_VECTOR_KERNEL void im_internal::IM_swap_2(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v8u16 u;
        std::memcpy(&u, buffer + i, 16);
        u = (u << 8) | (u >> 8);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 1 < n; i += 2) {
        uint16_t v;
        std::memcpy(&v, buffer + i, 2);
        v = __builtin_bswap16(v);
        std::memcpy(buffer + i, &v, 2);
    }
}

IM_VECTOR_KERNEL void im_internal::IM_swap_4(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v4u32 u;
        std::memcpy(&u, buffer + i, 16);
        u = ((u & 0x00FF00FFu) << 8) | ((u >> 8) & 0x00FF00FFu);
        u = (u << 16) | (u >> 16);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 3 < n; i += 4) {
        uint32_t v;
        std::memcpy(&v, buffer + i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(buffer + i, &v, 4);
    }
}

IM_VECTOR_KERNEL void im_internal::IM_swap_8(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        im_v2u64 u;
        std::memcpy(&u, buffer + i, 16);
        u = ((u & 0x00FF00FF00FF00FFull) << 8) | ((u >> 8) & 0x00FF00FF00FF00FFull);
        u = ((u & 0x0000FFFF0000FFFFull) << 16) | ((u >> 16) & 0x0000FFFF0000FFFFull);
        u = (u << 32) | (u >> 32);
        std::memcpy(buffer + i, &u, 16);
    }
    for (; i + 7 < n; i += 8) {
        uint64_t v;
        std::memcpy(&v, buffer + i, 8);
        v = __builtin_bswap64(v);
        std::memcpy(buffer + i, &v, 8);
    }
}

/* im_raw: switch raw mode on (v != 0) or off; returns the previous setting. */
int im_raw(int v)
{
    int old = im_rawflag;
    im_rawflag = (v != 0) ? 1 : 0;
    return old;
}

/* ---- Header writing ------------------------------------------------- */
/* The card store becomes the header on disk in the image's own form:
 * FITS records of 36 cards or ZZ text lines here, the IRAF IMHDR record with
 * its user area and history in iraf_write.  One header is written completely before the
 * next begins; every write is checked and a failure makes the writer
 * return -2. */
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>


/* IM_key_is: 1 when the card's first 8 columns, blank padded, are the 8
 * characters key8 (a keyword padded with blanks); 0 otherwise. */
int im_internal::IM_key_is(const char *text, const char *key8)
{
    for (int i = 0; i < 8; i++) {
        const char c = text[0] == '\0' ? ' ' : *text++;
        if (c != key8[i])
            return 0;
    }
    return 1;
}

/* Checksum cards describe the file they were read from; copied into a new
 * file they would be wrong, so FITS headers leave them out. */
static int fits_skipped(const char *text)
{
    return IM_key_is(text, "CHECKSUM") || IM_key_is(text, "DATASUM ");
}

/* IM_fits_cards: the number of cards of the current store that a FITS
 * header carries (all but CHECKSUM and DATASUM).  Reads f only. */
int im_internal::IM_fits_cards(void)
{
    int n = 0;
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
        if (!fits_skipped(h->text))
            n++;
    return n;
}

/* The FITS header being written: cards accumulate in buff, 36 to a
 * record, and each full record goes to fd. */
struct fits_out_struct {
    char buff[IM_FITS_RECORD];
    int card;          /* byte position of the next card in buff */
    int fd;            /* the header's descriptor; 0: standard output */
    int failed;        /* a record was not fully written */
    int why;           /* errno of the first record that failed */
};

/* write_fits_card: add one card (blank padded or cut to 80 columns) to the
 * record buffer of o and write the record once it holds 36 cards; null
 * writes the partial record, blank filled.  A failed write sets o->failed. */
static void write_fits_card(fits_out_struct *o, const char *text)
{
    if (text != nullptr) {
        size_t n = 0;
        while (n < IM_CARD_LEN && text[n] != '\0')
            n++;
        std::memcpy(o->buff + o->card, text, n);
        std::memset(o->buff + o->card + n, ' ', IM_CARD_LEN - n);
        o->card += IM_CARD_LEN;
        if (o->card < int(sizeof o->buff))
            return;
    }
    if (o->card == 0)
        return;
    std::memset(o->buff + o->card, ' ', sizeof o->buff - size_t(o->card));
    o->card = 0;
    errno = 0;
    if (o->fd == 0) {
        if (std::fwrite(o->buff, 1, sizeof o->buff, stdout) != sizeof o->buff)
            o->failed = 1;
    } else if (IM_write_all(o->fd, o->buff, sizeof o->buff) < 0) {
        o->failed = 1;
    }
    if (o->failed && o->why == 0)
        o->why = errno != 0 ? errno : EIO;
}

/* Collect the first BITPIX, NAXIS and NAXIS1 .. NAXISn cards of the
 * store, in that order, into front.  Returns their count, or 0 when one of
 * them is missing (the store is then written in its own order). */
static int fits_front_cards(const header_struct **front)
{
    const int naxis = f->val_naxis[0];
    if (naxis < 0 || naxis > IM_MAX_AXES)
        return 0;
    char key[IM_MAX_AXES + 2][9];
    std::snprintf(key[0], sizeof key[0], "%-8s", "BITPIX");
    std::snprintf(key[1], sizeof key[1], "%-8s", "NAXIS");
    for (int k = 1; k <= naxis; k++)
        std::snprintf(key[k + 1], sizeof key[k + 1], "NAXIS%-3d", k);
    const int n = naxis + 2;
    for (int k = 0; k < n; k++) {
        front[k] = nullptr;
        for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
            if (IM_key_is(h->text, key[k])) {
                front[k] = h;
                break;
            }
        if (front[k] == nullptr)
            return 0;
    }
    return n;
}

static int is_front_card(const header_struct *h, const header_struct *const *front, int n)
{
    for (int k = 0; k < n; k++)
        if (front[k] == h)
            return 1;
    return 0;
}

/* The FITS header: SIMPLE, BITPIX and the axis cards, the other cards in
 * store order with EXTEND after the first run of NAXIS cards (or last when
 * nothing follows that run), END.  EXTEND is always written, so the header
 * takes (cards + 38) / 36 records, the space reserved at the first pixel
 * write.  A header that needs fewer records than the file holds before its
 * pixels (cards deleted since, or an updated file whose header had spare
 * room) gets blank cards before END, so that END stays in the last record.
 * Returns 0; -4 it needs more records than there are (the cards can be
 * mended); -2 no pixel file, or a write failed (reasons recorded).
 * Works on f. */
int im_internal::IM_write_fits_hdr(void)
{
    static const char extend[] =
        "EXTEND  =                    T / TAPE MAY HAVE STANDARD FITS EXTENSIONS";
    const int64_t n_cards = int64_t(IM_fits_cards()) + 3; /* SIMPLE, EXTEND, END */
    const int64_t want = int64_t(2880) * ((n_cards + 35) / 36);
    if (f->unix_pix_fid < 0)
        return IM_fail(-2, "%s: the file is not open", f->pix_filename);
    if (want > f->io_offset)
        return IM_fail(-4, "the header needs %lld records of 2880 bytes but the file has %lld "
                       "before its pixels (remove %lld cards and close again)",
                       (long long)(want / 2880), (long long)(f->io_offset / 2880),
                       (long long)(n_cards - f->io_offset / 80));
    int64_t fill = (int64_t(f->io_offset) - want) / 80; /* whole records of blanks */
    fits_out_struct out;
    out.fd = f->unix_pix_fid;
    if (out.fd != 0 && lseek(out.fd, 0, SEEK_SET) != 0)
        return IM_fail(-2, "%s: %s", f->pix_filename, IM_errno_words(errno));
    out.failed = 0;
    out.why = 0;
    out.card = 0;

    write_fits_card(&out, "SIMPLE  =                    T");
    /* FITS readers need BITPIX, NAXIS and NAXIS1..n right after SIMPLE.
     * A store built in that order is written as it stands; when a caller
     * added cards among them, those cards are moved to the front. */
    const header_struct *front[2 + IM_MAX_AXES];
    const int n_front = fits_front_cards(front);
    for (int k = 0; k < n_front; k++)
        write_fits_card(&out, front[k]->text);
    int naxis_seen = n_front > 0 ? 1 : 0;
    int extend_done = 0;
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next) {
        if (fits_skipped(h->text) || is_front_card(h, front, n_front))
            continue;
        if (std::strncmp(h->text, "NAXIS", 5) == 0) {
            naxis_seen++;
        } else if (naxis_seen > 0 && !extend_done) {
            write_fits_card(&out, extend);
            extend_done = 1;
        }
        write_fits_card(&out, h->text);
    }
    if (!extend_done)
        write_fits_card(&out, extend);
    for (; fill > 0; fill--)
        write_fits_card(&out, "");
    write_fits_card(&out, "END");
    write_fits_card(&out, nullptr);
    if (out.fd == 0 && std::fflush(stdout) != 0 && !out.failed) {
        out.failed = 1;
        out.why = errno != 0 ? errno : EIO;
    }
    if (out.failed)
        return IM_fail(-2, "%s: the header could not be written: %s",
                       out.fd == 0 ? "standard output" : f->pix_filename,
                       IM_errno_words(out.why));
    return 0;
}

/* IM_write_zz_hdr: the ZZ header: every card as a text line.  0, or -2
 * when the file cannot be created or fully written (reason recorded).
 * Marks the header file of f as made by this image when no file had its
 * name. */
int im_internal::IM_write_zz_hdr(void)
{
    int made = 0;
    const int fd = IM_create_file(f->hdr_filename, &made);
    if (fd < 0)
        return IM_fail(-2, "cannot create %s: %s", f->hdr_filename, IM_errno_words(errno));
    f->made_files |= made ? IM_MADE_HDR | IM_WROTE_HDR : IM_WROTE_HDR;
    std::FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int e = errno;
        close(fd);
        return IM_fail(-2, "%s: %s", f->hdr_filename, IM_errno_words(e));
    }
    int e = 0;
    for (const header_struct *h = f->first_header; h != nullptr && e == 0; h = h->next) {
        if (std::fputs(h->text, fp) < 0 || std::fputc('\n', fp) == EOF)
            e = errno != 0 ? errno : EIO;
    }
    if (std::fflush(fp) != 0 && e == 0)
        e = errno != 0 ? errno : EIO;
    if (std::fclose(fp) != 0 && e == 0)
        e = errno != 0 ? errno : EIO;
    if (e != 0)
        return IM_fail(-2, "%s: the header could not be written: %s", f->hdr_filename,
                       IM_errno_words(e));
    return 0;
}

/* IM_write_hdr: write the current image's header in its own form (FITS at
 * the start of the pixel file, IRAF .imh and the .pix block, ZZ text).
 * Returns 0; -4 the cards cannot be stored as they stand (the FITS header
 * needs more records than reserved, an IRAF card or axis count the form
 * cannot hold): mending them helps; -2 a file cannot be opened or fully
 * written; -3 a form that has no header writer (S, unknown).  Every
 * failure but -3 leaves its reason (IM_fail).  Works on f. */
int im_internal::IM_write_hdr(void)
{
    switch (f->file_type) {
    case Type_fits:
        return IM_write_fits_hdr();
    case Type_iraf:
        return IM_write_iraf_hdr();
    case Type_zz:
        return IM_write_zz_hdr();
    case Type_S:
    case Type_unknown:
        return -3;
    default:
        return -3;
    }
}
