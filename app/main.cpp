/* main: the tool's entry point (not built yet). */
#include <cstdio>

int main(int argc, char **argv)
{
    (void)argc;
    std::fprintf(stderr, "%s: not built yet\n", argv[0]);
    return 1;
}
