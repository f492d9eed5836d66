#include "SaveControls.h"

#include "platform/media/PlatformError.h"

namespace trimwell {

std::string explain(const std::optional<PlatformError>& error) {
    if (!error)
        return "The save stopped.";
    return error->description() + " (" + error->domain() + " " + std::to_string(error->code()) +
           ")";
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ClipError& e) {
        return e.description();
    } catch (const PlatformError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unknown error.";
    }
}

} // namespace trimwell
