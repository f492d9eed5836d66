#pragma once
// The window's picture pane: the edit model's player shown whole on black, with no controls
// of its own (playback is driven by the window's buttons and sliders). Main thread only.
#include <QWidget>

namespace trimwell {

class Player;
class PlayerView;

class PreviewPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumHeight = 280;

    // The pane shows player but does not own it; the player must outlive the pane.
    explicit PreviewPane(Player& player, QWidget* parent = nullptr);

    // Shows player. The player already shown is left alone, so redrawing the window any
    // number of times never resets the view.
    void setPlayer(Player& player);
    Player& player() const { return *player_; }
    PlayerView& view() const { return *view_; }

private:
    Player* player_{nullptr};   // main thread only
    PlayerView* view_{nullptr}; // main thread only; a child widget
};

} // namespace trimwell
