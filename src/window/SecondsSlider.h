#pragma once
// A horizontal slider over a range of 64-bit seconds (or any double). A value set from the
// model is kept exactly: nothing is rounded to a step, so a mark placed to the millisecond on
// a two-hour movie reads back unchanged. The user's changes come in one order only: pressed,
// any number of moved, released; a key press is one whole such round. Main thread only.
#include <QWidget>

#include <functional>

namespace trimwell {

class SecondsSlider : public QWidget {
    Q_OBJECT
public:
    explicit SecondsSlider(QWidget* parent = nullptr);

    // A reversed or non-finite range counts as 0 to 1. Neither call emits anything.
    void setRange(double minimum, double maximum);
    void setValue(double value);
    // The steps of one arrow key and of one page key.
    void setSteps(double single, double page);
    // Where an arrow key or a wheel notch goes: stepper(value, steps) is the value steps
    // pictures on (negative: back), NaN to stay. Without one, arrows move by the single step.
    void setStepper(std::function<double(double value, int steps)> stepper);

    // One key press's whole round to the value steps pictures on (negative: back), as an
    // arrow key makes; nothing while the slider is disabled or held by the mouse.
    void step(int steps);

    double minimum() const { return minimum_; }
    double maximum() const { return maximum_; }
    double value() const { return value_; }
    bool isDown() const { return down_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void pressed();
    // The user moved the slider to value, already inside the range.
    void moved(double value);
    void released();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void moveTo(double value);
    double valueAt(double x) const;
    void finishPress();
    double stepped(int steps) const;
    // One whole press, change and release round, as a key press makes.
    void pressOnceTo(double target);

    double minimum_{0}; // main thread only
    double maximum_{1}; // main thread only
    double value_{0};   // main thread only
    double single_{0};  // main thread only; 0: a hundredth of the range
    double page_{0};    // main thread only; 0: a tenth of the range
    bool down_{false};  // main thread only: between pressed and released
    int wheelRest_{0};  // main thread only: a wheel's turn short of a whole notch
    std::function<double(double, int)> stepper_; // main thread only
};

} // namespace trimwell
