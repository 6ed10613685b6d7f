/* misc: image descriptors and the handle ring, host byte order and swapping,
 * and header writing.
 * Descriptors form one doubly linked ring anchored at head_fid, newest
 * first; handles count up from 1 and are never reused.  f is the current
 * descriptor, set by IM_set_fid on entry to every public operation. */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "im.h"

fid_struct *f = nullptr;
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
fid_struct *new_fid(void)
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
void destroy_fid(fid_struct *p)
{
    p->llink->rlink = p->rlink;
    p->rlink->llink = p->llink;
    std::free(p);
    f = nullptr;
}

/* find_fid: the descriptor with handle id, newest first, or null.
 * Never returns the head record. */
fid_struct *find_fid(int id)
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
int IM_set_fid(int id)
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
 * memcpy keeps the loops free of aliasing and alignment assumptions and
 * still compiles to vector byte shuffles. */
void IM_swap_2(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    for (int i = 0; i + 1 < n; i += 2) {
        uint16_t v;
        std::memcpy(&v, buffer + i, 2);
        v = __builtin_bswap16(v);
        std::memcpy(buffer + i, &v, 2);
    }
}

void IM_swap_4(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    for (int i = 0; i + 3 < n; i += 4) {
        uint32_t v;
        std::memcpy(&v, buffer + i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(buffer + i, &v, 4);
    }
}

void IM_swap_8(unsigned char *buffer, int n)
{
    if (n <= 0 || im_byteorder() == 1)
        return;
    for (int i = 0; i + 7 < n; i += 8) {
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

/* IM_write_hdr: write the current image's header in its own form.
 * Not built yet: fails honestly. */
int IM_write_hdr(void)
{
    return -3;
}
