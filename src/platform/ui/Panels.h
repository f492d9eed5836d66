#pragma once
// The open and save panels, supplied by the window (QFileDialog) or scripted by tests.
// Both run modally on the main thread; std::nullopt means the user cancelled.
#include <optional>
#include <string>
#include <vector>

namespace trimwell {

struct OpenPanelRequest {
    std::vector<std::string> mimeTypes;  // allowed content types, in order
    std::vector<std::string> extensions; // file name extensions they stand for, without dots
    std::string title;
    std::string prompt;
    std::string folder; // where the panel opens; empty leaves it to the panel
};

struct SavePanelRequest {
    std::vector<std::string> mimeTypes;
    std::vector<std::string> extensions;
    bool canCreateDirectories{true};
    std::string proposedName;
    std::string title;
    std::string prompt;
    std::string folder; // where the panel opens; empty leaves it to the panel
};

class Panels {
public:
    virtual ~Panels() = default;
    virtual std::optional<std::string> runOpen(const OpenPanelRequest& request) = 0;
    virtual std::optional<std::string> runSave(const SavePanelRequest& request) = 0;
};

} // namespace trimwell
