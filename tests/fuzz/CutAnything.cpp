#include "CutAnything.h"

#include "platform/media/Asset.h"
#include "platform/media/PlatformError.h"
#include "writer/ClipWriter.h"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace trimwell::testing {

namespace {

bool writeBytes(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

CutReport inspectAndCut(const std::string& bytes, const std::string& folder) {
    CutReport report;
    // No name extension: the demuxer is chosen by what the bytes are, not by what they claim.
    const std::string input = folder + "/input";
    const std::string destination = folder + "/cut.mp4";
    if (!writeBytes(input, bytes)) {
        report.problems.push_back("could not write the input to " + input);
        return report;
    }
    bool hasSound = false;
    try {
        Asset asset(input);
        asset.loadDuration();
        asset.loadTracks(MediaType::video);
        hasSound = !asset.loadTracks(MediaType::audio).empty();
    } catch (const PlatformError&) {
    }
    try {
        ClipWriter::write(input, destination, 0, 0.2, 1'000'000, hasSound ? 160'000 : 0,
                          std::make_shared<StopFlag>(), {});
        report.outcome = CutReport::Outcome::saved;
    } catch (const ClipError& e) {
        report.outcome = e.kind() == ClipError::Kind::failed ? CutReport::Outcome::failed
                                                             : CutReport::Outcome::refused;
        if (e.kind() == ClipError::Kind::cancelled || e.kind() == ClipError::Kind::sameFile)
            report.problems.push_back("a save nobody stopped ended: " + e.description());
    } catch (const PlatformError&) {
        report.outcome = CutReport::Outcome::unreadable;
    } catch (const std::exception& e) {
        report.problems.push_back(std::string("the writer threw something else: ") + e.what());
    }

    std::error_code ec;
    if (report.outcome == CutReport::Outcome::saved && !fs::is_regular_file(destination, ec))
        report.problems.push_back("saved, but there is no file");
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name != "input" && name != "cut.mp4")
            report.problems.push_back("left behind: " + name);
        fs::remove_all(entry.path(), ec);
    }
    return report;
}

} // namespace trimwell::testing
