/* iraftime: IRAF time stamps (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"
