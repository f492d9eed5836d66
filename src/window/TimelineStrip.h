#pragma once
// The timeline strip across the window: a row of pictures from the movie, its sound drawn as
// a waveform under them, the cut shaded and the playhead as a line, with a scroll bar and zoom
// buttons under it. It draws what the timeline model holds and asks it for what the view
// needs; it keeps nothing of its own. Pressing or dragging on it moves the playhead the way
// the playhead slider does. Main thread only.
#include <QWidget>

class QScrollBar;
class QToolButton;

namespace trimwell {

class TimelineModel;
class TrimwellModel;

class TimelineStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPictureRow = 48; // logical pixels
    static constexpr int kSoundRow = 32;   // logical pixels

    // The model must outlive the strip.
    explicit TimelineStrip(TrimwellModel& model, QWidget* parent = nullptr);
    // Detaches from the timeline, which stops its reading.
    ~TimelineStrip() override;

    // The drawing area: pictures, waveform, cut and playhead (also the area to press on).
    QWidget* canvas() const;

    // Zoom steps: the wheel's notch and the keys' and buttons' press.
    static constexpr double kWheelZoom = 1.4142135623730951;
    static constexpr double kKeyZoom = 2;

    void zoomIn();
    void zoomOut();
    void showWholeMovie();

private:
    class Canvas;

    void follow();
    void refresh();
    void attach();

    TrimwellModel& model_;
    TimelineModel& timeline_;
    Canvas* canvas_{nullptr}; // main thread only; children from here on
    QScrollBar* scroll_{nullptr};
    QToolButton* zoomOut_{nullptr};
    QToolButton* zoomIn_{nullptr};
    QToolButton* whole_{nullptr};
    bool scrolling_{false}; // main thread only: the scroll bar is being set from the model
};

} // namespace trimwell
