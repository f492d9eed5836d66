#include "WindowKeys.h"

#include "SecondsSlider.h"

#include <QShortcut>

#include <algorithm>

namespace trimwell {

WindowKeys::WindowKeys(QWidget* window) : QObject(window), window_(window) {}

void WindowKeys::add(const QKeySequence& key, std::function<void()> action) {
    auto* shortcut = new QShortcut(key, window_);
    shortcut->setContext(Qt::WindowShortcut);
    shortcut->setAutoRepeat(true);
    connect(shortcut, &QShortcut::activated, this, [this, action = std::move(action)] {
        if (!sliderHeld())
            action();
    });
}

bool WindowKeys::sliderHeld() const {
    const auto sliders = window_->findChildren<SecondsSlider*>();
    return std::any_of(sliders.begin(), sliders.end(),
                       [](const SecondsSlider* s) { return s->isDown(); });
}

} // namespace trimwell
