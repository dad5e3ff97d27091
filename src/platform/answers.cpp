#include "platform/answers.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace answers {

bool notsupported(int error)
{
    // A list, not comparisons: Linux gives ENOTSUP and EOPNOTSUPP one number,
    // macOS and Windows two. A driver answers ENOTTY or EOPNOTSUPP to an ioctl
    // it does not know; a file system without the request ENOTSUP (macOS's
    // default for a vnode operation) or ENOTTY (its own default).
    static constexpr int meaning[] = {ENOTTY, ENOTSUP, EOPNOTSUPP};
    return std::find(std::begin(meaning), std::end(meaning), error) != std::end(meaning);
}

} // namespace answers
