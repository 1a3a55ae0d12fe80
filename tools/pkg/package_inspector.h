// What a package holds and what the updater would do with it. The verdict comes from the
// updater's own loader, run on a private job record; the explanation from the same format code.
#pragma once

#include <ostream>
#include <string>

namespace pkg {

// Prints the report; returns 0 when the updater would load the package, 1 when it refuses it.
int InspectPackage(const std::string& path, std::ostream& out);

// Writes the image that the updater would decode from the package to `imagePath`; returns 0, or
// 1 (with the reason on `err`) when the updater refuses the package or the file cannot be written.
int WriteLoadedImage(const std::string& path, const std::string& imagePath, std::ostream& err);

}  // namespace pkg
