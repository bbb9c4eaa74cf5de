#pragma once

#include <string>

namespace orvanel {

// The file that `path` names once symbolic links are followed, link by link (a relative
// link from the link's own folder), whether that file exists or not: what a write to the
// name should replace, so that a link stays a link. Throws Failure (a loop, a link that
// cannot be read).
std::string FollowLinks(const std::string& path);

}  // namespace orvanel
