#include "fleet/OpenFileLimit.h"

#include <algorithm>
#include <climits>

#include <sys/resource.h>

namespace OpenFileLimit {

int unitsAtOnce(long* limit)
{
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
        *limit = -1;
        return INT_MAX;
    }
    if (files.rlim_cur != files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            files = raised;
    }
    if (files.rlim_cur == RLIM_INFINITY) {
        *limit = -1;
        return INT_MAX;
    }
    *limit = long(files.rlim_cur);
    const long units = (long(files.rlim_cur) - Margin) / DescriptorsPerUnit;
    return int(std::clamp(units, 1L, long(INT_MAX)));
}

} // namespace OpenFileLimit
