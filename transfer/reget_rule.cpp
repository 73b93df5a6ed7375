#include "reget_rule.h"

#include <algorithm>

reget_write plan_reget_write(std::int32_t known_length, std::int32_t offset, std::int32_t count) {
    const std::int32_t arriving = std::max(count, 0);
    const std::int32_t compared = std::clamp(known_length - offset, 0, arriving);
    const std::int32_t written = arriving - compared;
    const std::int32_t end = offset + compared + written;
    return {compared, written, end, std::max(known_length, end)};
}
