#include "reget_rule.h"

#include <algorithm>
#include <limits>

std::optional<reget_write> plan_reget_write(std::int32_t known_length, std::int32_t offset,
                                            std::int32_t count) {
    const std::int32_t arriving = std::max(count, 0);
    const std::int64_t end = std::int64_t{offset} + arriving;
    if (offset < 0 || end > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    const auto compared = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{known_length} - offset, 0, arriving));
    const auto last = static_cast<std::int32_t>(end);
    return reget_write{compared, arriving - compared, last, std::max(known_length, last)};
}
