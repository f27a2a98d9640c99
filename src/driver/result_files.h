// Result files written whole or not at all.
#ifndef TREEFLOOD_DRIVER_RESULT_FILES_H_
#define TREEFLOOD_DRIVER_RESULT_FILES_H_

#include <string>

namespace treeflood {

// Writes `text` to a new file beside `path` and renames it over `path`, so
// that an earlier file survives any failure, which leaves nothing behind. On
// failure returns false with errno set.
bool writeFile(const std::string& path, const std::string& text);

// Whether writeFile could write `path`: nothing but a regular file stands
// there (else EINVAL), and a file can be made beside it, which is tried and
// removed. On failure returns false with errno set.
bool canWriteFile(const std::string& path);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_RESULT_FILES_H_
