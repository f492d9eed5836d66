#pragma once
// Scripted open and save panels: each run answers with the next scripted reply (a path, or
// std::nullopt for Cancel) and records the request it was shown.
#include "platform/ui/Panels.h"

#include <deque>

namespace trimwell::testing {

class FakePanels : public Panels {
public:
    std::deque<std::optional<std::string>> openReplies;
    std::deque<std::optional<std::string>> saveReplies;
    std::vector<OpenPanelRequest> openRequests;
    std::vector<SavePanelRequest> saveRequests;

    std::optional<std::string> runOpen(const OpenPanelRequest& request) override {
        openRequests.push_back(request);
        return next(openReplies);
    }
    std::optional<std::string> runSave(const SavePanelRequest& request) override {
        saveRequests.push_back(request);
        return next(saveReplies);
    }

private:
    static std::optional<std::string> next(std::deque<std::optional<std::string>>& replies) {
        if (replies.empty())
            return std::nullopt;
        auto reply = replies.front();
        replies.pop_front();
        return reply;
    }
};

} // namespace trimwell::testing
