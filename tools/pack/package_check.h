// The checks and the archive writer of fwrenew-pack: a package folder (FwRenewInfo.ini and one
// image per NAND name and LUN count) or a package archive is read the way the updater reads it,
// and every problem is reported once, as file, what and why.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pack {

struct Problem {
    bool error = true; // false: a warning (the package works, but not as its maker may think)
    std::string file;  // the item of the package the problem is in
    std::string what;  // what is wrong
    std::string why;   // what the updater or a drive would do with it
};

// "FILE: error: WHAT (WHY)" or "FILE: warning: ...".
std::string ProblemLine(const Problem& problem);
bool HasError(const std::vector<Problem>& problems);

// Checks a package folder: the configuration file, every image and the names of all items.
std::vector<Problem> CheckFolder(const std::string& folder);
// Checks a package archive: opened, listed and extracted with the updater's own reader into a
// scratch folder (removed again), whose contents are then checked as a folder.
std::vector<Problem> CheckArchive(const std::string& archive);
// A folder or an archive, by what the path names.
std::vector<Problem> CheckPath(const std::string& path);

// Writes the package archive of a folder: flat, deflated, names sorted, fixed times and
// attributes, so that the same folder always gives the same bytes. Refuses (returns the
// problems, writes nothing) a folder that CheckFolder rejects; on a write failure the problem
// list says why.
std::vector<Problem> BuildArchive(const std::string& folder, const std::string& archive);

// The image rules, on an image in memory (file names the image in the problems).
void CheckImage(const std::string& file, const std::vector<uint8_t>& image, bool sataPackage,
                std::vector<Problem>& problems);

// The eligibility check's search for the version text: the first 8 bytes that begin one byte
// before a dot and hold exactly three dots (cut at a NUL). Empty when there is none.
std::string FindImageVersion(const std::vector<uint8_t>& image);

} // namespace pack
