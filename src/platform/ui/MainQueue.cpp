#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace trimwell {

void MainQueue::post(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

MainQueue& mainQueue() {
    static MainQueue queue;
    return queue;
}

} // namespace trimwell
