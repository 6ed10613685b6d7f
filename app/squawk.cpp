/* squawk: the tool's single error reporter. */
#include <cstdio>
#include <cstdlib>

#include "tool.h"

/* squawk: write message and a newline to standard error; severity 0 then
 * ends the process with status 255, any other severity returns. */
void squawk(int severity, const char *message)
{
    std::fprintf(stderr, "%s\n", message);
    if (severity == 0)
        std::exit(-1);
}
