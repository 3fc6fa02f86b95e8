// The terminal view is not part of this build yet (tools/lab/interactive.cpp replaces this).
#include "lab.h"

#include <cstdio>

namespace lab {

int RunInteractive(Session&) {
    std::fprintf(
        stderr,
        "fwrenew-lab: interactive view not built; use --list, --select, --run (see --help)\n");
    return 2;
}

} // namespace lab
