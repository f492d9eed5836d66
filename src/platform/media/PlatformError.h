#pragma once
// The one exception of the platform layer: a description, a domain and a code,
// as the callers word them with explain().
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace trimwell {

// The code of domain "Trimwell": an argument or a state our own checks refuse.
inline constexpr std::int64_t kTrimwellInvalidArgument = -12710;

class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string description, std::string domain, std::int64_t code)
        : std::runtime_error(description), description_(std::move(description)),
          domain_(std::move(domain)), code_(code) {}

    const std::string& description() const { return description_; }
    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }

    // An FFmpeg AVERROR code with av_strerror's text, domain "FFmpeg".
    static PlatformError fromAv(int averror, const std::string& context = {});
    // What our own checks refuse, as opposed to a library's return value: domain "Trimwell".
    static PlatformError fromTrimwell(std::string description,
                                      std::int64_t code = kTrimwellInvalidArgument);
    // An errno with strerror's text, domain "POSIX".
    static PlatformError fromErrno(int err, const std::string& context = {});
    // What the exception being handled says, after context: a PlatformError keeps its domain
    // and code, running out of memory reads as ENOMEM, a system error keeps its errno. Call
    // only inside a catch block.
    static PlatformError fromCurrentException(const std::string& context);

private:
    std::string description_;
    std::string domain_;
    std::int64_t code_{0};
};

// Throws PlatformError::fromAv when ret is negative; returns ret otherwise.
int checkAv(int ret, const char* context = nullptr);

} // namespace trimwell
