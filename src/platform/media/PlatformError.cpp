#include "PlatformError.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

extern "C" {
#include <libavutil/error.h>
}

namespace trimwell {

PlatformError PlatformError::fromAv(int averror, const std::string& context) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    // An unknown code still gets a generic text, which is all a description needs.
    av_strerror(averror, text, sizeof text);
    std::string description = text;
    if (!context.empty())
        description = context + ": " + description;
    return PlatformError(description, "FFmpeg", averror);
}

PlatformError PlatformError::fromTrimwell(std::string description, std::int64_t code) {
    return PlatformError(std::move(description), "Trimwell", code);
}

PlatformError PlatformError::fromErrno(int err, const std::string& context) {
    std::string description = std::strerror(err);
    if (!context.empty())
        description = context + ": " + description;
    return PlatformError(description, "POSIX", err);
}

PlatformError PlatformError::fromCurrentException(const std::string& context) {
    try {
        throw;
    } catch (const PlatformError& e) {
        return PlatformError(context + ": " + e.description(), e.domain(), e.code());
    } catch (const std::bad_alloc&) {
        return fromErrno(ENOMEM, context);
    } catch (const std::system_error& e) {
        if (e.code().category() == std::generic_category() ||
            e.code().category() == std::system_category())
            return fromErrno(e.code().value(), context);
        return PlatformError(context + ": " + e.what(), "C++", e.code().value());
    } catch (const std::exception& e) {
        return PlatformError(context + ": " + e.what(), "C++", 0);
    } catch (...) {
        return PlatformError(context + ": an unknown error", "C++", 0);
    }
}

int checkAv(int ret, const char* context) {
    if (ret < 0)
        throw PlatformError::fromAv(ret, context ? context : "");
    return ret;
}

} // namespace trimwell
