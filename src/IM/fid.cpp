/* fid: image descriptors and the handle ring, and the current descriptor.
 * Descriptors form one doubly linked ring anchored at head_fid, newest
 * first; handles count up from 1 and are never reused.  f is the current
 * descriptor, set by IM_set_fid on entry to every public operation. */
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

#include "im.h"

fid_struct *im_internal::f = nullptr;

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

/* destroy_fid: unlink p from the ring and release it with its card
 * blocks.  Leaves f null. */
void im_internal::destroy_fid(fid_struct *p)
{
    hdr_blk_struct *blk = p->header_blocks;
    while (blk != nullptr) {
        hdr_blk_struct *next = blk->next;
        std::free(blk);
        blk = next;
    }
    p->header_blocks = nullptr;
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

/* IM_fid_of: the valid descriptor of handle id, or null when there is
 * none or it is not valid.  Leaves f alone. */
fid_struct *im_internal::IM_fid_of(int id)
{
    fid_struct *p = find_fid(id);
    return p != nullptr && p->magic == FID_MAGIC ? p : nullptr;
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

/* IM_file_open_elsewhere: 1 when the file st describes (from stat) is the
 * header or pixel file of an open image other than f, else 0.  Leaves f
 * alone. */
int im_internal::IM_file_open_elsewhere(const struct stat *st)
{
    ring_init();
    for (fid_struct *p = head_fid.rlink; p != &head_fid; p = p->rlink) {
        if (p == f || p->magic != FID_MAGIC)
            continue;
        const int fds[2] = {p->unix_hdr_fid, p->unix_pix_fid};
        for (const int fd : fds) {
            struct stat other;
            if (fd > 0 && fstat(fd, &other) == 0 && other.st_dev == st->st_dev &&
                other.st_ino == st->st_ino)
                return 1;
        }
    }
    return 0;
}
