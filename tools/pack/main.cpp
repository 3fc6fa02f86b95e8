// fwrenew-pack: checks a firmware package (a folder or an archive) the way the updater will read
// it, and builds the package archive from a folder.
//   fwrenew-pack check DIR|ARCHIVE
//   fwrenew-pack build DIR -o PACKAGE.zip
// One line per problem (file, what, why). Exit 0: no error (warnings allowed); 1: an error, and
// `build` wrote nothing; 2: wrong arguments.
#include "package_check.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: fwrenew-pack check DIR|ARCHIVE\n"
                         "       fwrenew-pack build DIR -o PACKAGE.zip\n");
    return 2;
}

int Report(const std::vector<pack::Problem>& problems) {
    int errors = 0, warnings = 0;
    for (const pack::Problem& p : problems) {
        std::printf("%s\n", pack::ProblemLine(p).c_str());
        (p.error ? errors : warnings)++;
    }
    std::printf("%d error(s), %d warning(s)\n", errors, warnings);
    return errors > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "check") == 0) return Report(pack::CheckPath(argv[2]));
    if (argc == 5 && std::strcmp(argv[1], "build") == 0 && std::strcmp(argv[3], "-o") == 0) {
        int rc = Report(pack::BuildArchive(argv[2], argv[4]));
        std::printf(rc == 0 ? "wrote %s\n" : "not built: %s\n", argv[4]);
        return rc;
    }
    return Usage();
}
