#include "reget_rule.h"

#include <algorithm>
#include <limits>

std::optional<reget_write> plan_reget_write(std::int64_t known_length, std::int64_t offset,
                                            std::int32_t count) {
    const std::int32_t arriving = std::max(count, 0);
    if (offset < 0 || offset > std::numeric_limits<std::int64_t>::max() - arriving)
        return std::nullopt;
    const std::int64_t end = offset + arriving;
    // Tested before subtracting: a known length far below the offset would overflow.
    const std::int64_t valid_after_offset = known_length > offset ? known_length - offset : 0;
    const auto compared =
        static_cast<std::int32_t>(std::min<std::int64_t>(valid_after_offset, arriving));
    return reget_write{compared, arriving - compared, end, std::max(known_length, end)};
}
