#pragma once
// A window over a model whose player and panels are scripted, for tests of what the window
// shows and calls.
#include "model/FakePanels.h"
#include "model/FakePlayer.h"
#include "model/ModelInternals.h"
#include "model/TrimwellModel.h"
#include "window/TrimwellWindow.h"

#include <QLabel>
#include <QPushButton>

#include <memory>

namespace trimwell::testing {

struct WindowRig {
    FakePanels panels;
    FakePlayer* player{nullptr}; // owned by the model
    std::unique_ptr<TrimwellModel> model;
    std::unique_ptr<TrimwellWindow> window;

    WindowRig() {
        auto owned = std::make_unique<FakePlayer>();
        player = owned.get();
        model = std::make_unique<TrimwellModel>(std::move(owned), &panels);
        window = std::make_unique<TrimwellWindow>(*model);
        window->resize(880, 740);
    }
    ~WindowRig() { window.reset(); }

    template <typename T = QWidget> T* find(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QString text(const char* name) const { return find<QLabel>(name)->text(); }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }

    // A movie as the model holds one once it is open, without reading a file: lengths and
    // names no generated movie has.
    void pretendOpen(const std::string& path, double duration, bool sound) {
        ModelInternals::setSourceURL(*model, path);
        ModelInternals::setDuration(*model, duration);
        ModelInternals::setHasAudio(*model, sound);
        model->setInPoint(0);
        model->setOutPoint(duration);
    }
};

} // namespace trimwell::testing
