#include "PlatformError.h"

#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace trimwell {

PlatformError PlatformError::fromAv(int averror, const std::string& context) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    std::string description = text;
    if (!context.empty())
        description = context + ": " + description;
    return PlatformError(description, "FFmpeg", averror);
}

PlatformError PlatformError::fromErrno(int err, const std::string& context) {
    std::string description = std::strerror(err);
    if (!context.empty())
        description = context + ": " + description;
    return PlatformError(description, "POSIX", err);
}

int checkAv(int ret, const char* context) {
    if (ret < 0)
        throw PlatformError::fromAv(ret, context ? context : "");
    return ret;
}

} // namespace trimwell
