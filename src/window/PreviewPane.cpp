#include "PreviewPane.h"

#include "platform/player/PlayerView.h"

#include <QVBoxLayout>

namespace trimwell {

PreviewPane::PreviewPane(Player& player, QWidget* parent)
    : QWidget(parent), player_(&player), view_(new PlayerView(this)) {
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);
    setMinimumHeight(kMinimumHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    view_->setPlayer(player_);
}

void PreviewPane::setPlayer(Player& player) {
    if (&player == player_)
        return;
    player_ = &player;
    view_->setPlayer(player_);
}

} // namespace trimwell
