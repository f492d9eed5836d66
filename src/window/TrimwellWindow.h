#pragma once
// The content of the program's one window: a view of the edit model that holds no state of
// its own. Every row is drawn from the model's fields and redrawn when one changes; every
// control calls one model operation. Main thread only.
#include <QWidget>

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;

namespace trimwell {

class ElidedLabel;
class PreviewPane;
class SecondsSlider;
class ShopMark;
class TrimwellModel;

class TrimwellWindow : public QWidget {
    Q_OBJECT
public:
    // The controls' accent: sliders, the progress bar, selections.
    static inline const QColor kAccent{78, 154, 6};

    // The window does not own the model; the model must outlive it.
    explicit TrimwellWindow(TrimwellModel& model, QWidget* parent = nullptr);

    TrimwellModel& model() const { return model_; }
    // The View menu's "Loop the cut": checkable, mirrors the model's loopCut, answers
    // Ctrl+Shift+L through the window's keys.
    QAction& loopCutAction() const { return *loopCut_; }

    // The "Go to Time" dialog for the playhead (Ctrl+G), or for the in or out mark (a
    // double click on the mark's time); nothing with no movie or while saving.
    enum class TimeTarget { playhead, inMark, outMark };
    void askForTime(TimeTarget target);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct MarkRow {
        SecondsSlider* slider{nullptr};
        QLabel* label{nullptr};
        QPushButton* set{nullptr};
    };

    QLayout* boundRow(const QString& title, const QString& name, const QString& setTitle,
                      MarkRow& row);
    void connectControls();
    // The window's keys, wherever the focus is.
    void connectKeys();
    void connectModel();
    // Draws every control from the model.
    void refresh();

    TrimwellModel& model_;

    PreviewPane* preview_{nullptr}; // main thread only; child widgets from here on
    QPushButton* play_{nullptr};
    SecondsSlider* playhead_{nullptr};
    QLabel* time_{nullptr};
    QLabel* speed_{nullptr};
    MarkRow in_{};
    MarkRow out_{};
    SecondsSlider* megabits_{nullptr};
    QLabel* bitRate_{nullptr};
    QLabel* about_{nullptr};
    QLabel* soundNote_{nullptr};
    QPushButton* open_{nullptr};
    ElidedLabel* fileName_{nullptr};
    QPushButton* save_{nullptr};
    QProgressBar* progress_{nullptr};
    QPushButton* stop_{nullptr};
    QLabel* status_{nullptr};
    ShopMark* mark_{nullptr};
    QAction* loopCut_{nullptr};
};

} // namespace trimwell
