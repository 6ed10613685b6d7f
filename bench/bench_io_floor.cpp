// bench_io_floor: the part of the tool's job that no conversion code can
// remove, timed by bench_flatten.sh beside the tool.  It takes the same
// memory (a float per pixel, 2 MiB aligned, huge pages requested), reads
// the stored pixels line by line into it, touches the rest of it, and
// writes the stored bytes back out line by line after a 2880-byte header.
// Usage: bench_io_floor INPUT OUTPUT WIDTH HEIGHT BYTES_PER_PIXEL
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT WIDTH HEIGHT BYTES_PER_PIXEL\n", argv[0]);
        return 2;
    }
    const size_t width = std::strtoul(argv[3], nullptr, 10);
    const size_t height = std::strtoul(argv[4], nullptr, 10);
    const size_t bpp = std::strtoul(argv[5], nullptr, 10);
    const size_t line = width * bpp;
    const size_t stored = line * height;
    const size_t huge = size_t(2) << 20;
    const size_t bytes = (width * height * 4 + huge - 1) / huge * huge;
    void *mem = nullptr;
    if (posix_memalign(&mem, huge, bytes) != 0)
        return 1;
    (void)madvise(mem, bytes, MADV_HUGEPAGE);
    unsigned char *buf = static_cast<unsigned char *>(mem);

    int in = open(argv[1], O_RDONLY);
    int out = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0664);
    if (in < 0 || out < 0)
        return 1;
    for (size_t off = 0; off < stored; off += line)
        if (pread(in, buf + off, line, off_t(2880 + off)) != ssize_t(line))
            return 1;
    std::memset(buf + stored, 0, bytes - stored);
    static char header[2880];
    std::memset(header, ' ', sizeof header);
    if (pwrite(out, header, sizeof header, 0) != ssize_t(sizeof header))
        return 1;
    for (size_t off = 0; off < stored; off += line)
        if (pwrite(out, buf + off, line, off_t(2880 + off)) != ssize_t(line))
            return 1;
    close(in);
    if (close(out) != 0)
        return 1;
    std::free(mem);
    return 0;
}
