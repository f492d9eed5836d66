#include "SecondsSlider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace trimwell {

namespace {

// Only the drawing goes through the style's integer slider; values never do.
constexpr int kTicks = 1'000'000;

QStyleOptionSlider styleOption(const QWidget& widget, double fraction, bool down) {
    QStyleOptionSlider option;
    option.initFrom(&widget);
    option.orientation = Qt::Horizontal;
    option.state |= QStyle::State_Horizontal;
    option.minimum = 0;
    option.maximum = kTicks;
    option.sliderPosition = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * kTicks));
    option.sliderValue = option.sliderPosition;
    option.singleStep = kTicks / 100;
    option.pageStep = kTicks / 10;
    option.tickPosition = QSlider::NoTicks;
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    if (down) {
        option.activeSubControls = QStyle::SC_SliderHandle;
        option.state |= QStyle::State_Sunken;
    }
    return option;
}

} // namespace

SecondsSlider::SecondsSlider(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

void SecondsSlider::setRange(double minimum, double maximum) {
    if (!std::isfinite(minimum) || !std::isfinite(maximum) || !(maximum > minimum)) {
        minimum = 0;
        maximum = 1;
    }
    if (minimum == minimum_ && maximum == maximum_)
        return;
    minimum_ = minimum;
    maximum_ = maximum;
    update();
}

void SecondsSlider::setValue(double value) {
    if (value == value_)
        return;
    value_ = value;
    update();
}

void SecondsSlider::setSteps(double single, double page) {
    single_ = single > 0 ? single : 0;
    page_ = page > 0 ? page : 0;
}

void SecondsSlider::setStepper(std::function<double(double, int)> stepper) {
    stepper_ = std::move(stepper);
}

double SecondsSlider::stepped(int steps) const {
    if (stepper_)
        return stepper_(value_, steps);
    const double single = single_ > 0 ? single_ : (maximum_ - minimum_) / 100;
    return value_ + steps * single;
}

QSize SecondsSlider::sizeHint() const {
    const QStyleOptionSlider option = styleOption(*this, 0, false);
    const int thickness = style()->pixelMetric(QStyle::PM_SliderThickness, &option, this);
    return style()->sizeFromContents(QStyle::CT_Slider, &option, QSize(84, thickness), this);
}

QSize SecondsSlider::minimumSizeHint() const {
    QSize size = sizeHint();
    const QStyleOptionSlider option = styleOption(*this, 0, false);
    size.setWidth(style()->pixelMetric(QStyle::PM_SliderLength, &option, this) * 2);
    return size;
}

void SecondsSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const double fraction = (value_ - minimum_) / (maximum_ - minimum_);
    const QStyleOptionSlider option =
        styleOption(*this, std::isfinite(fraction) ? fraction : 0, down_);
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
}

double SecondsSlider::valueAt(double x) const {
    // The handle's centre follows the pointer, over the length the style lets it travel.
    const QStyleOptionSlider option = styleOption(*this, 0, false);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const double start = groove.x() + handle.width() / 2.0;
    const double travel = groove.width() - handle.width();
    const double fraction = travel > 0 ? std::clamp((x - start) / travel, 0.0, 1.0) : 0.0;
    return minimum_ + fraction * (maximum_ - minimum_);
}

void SecondsSlider::moveTo(double value) {
    value = std::clamp(value, minimum_, maximum_);
    if (value == value_)
        return;
    value_ = value;
    update();
    emit moved(value);
}

void SecondsSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || down_) {
        event->ignore();
        return;
    }
    down_ = true;
    update();
    emit pressed();
    moveTo(valueAt(event->position().x()));
}

void SecondsSlider::mouseMoveEvent(QMouseEvent* event) {
    if (!down_) {
        event->ignore();
        return;
    }
    moveTo(valueAt(event->position().x()));
}

void SecondsSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !down_) {
        event->ignore();
        return;
    }
    moveTo(valueAt(event->position().x()));
    finishPress();
}

void SecondsSlider::finishPress() {
    if (!down_)
        return;
    down_ = false;
    update();
    emit released();
}

void SecondsSlider::step(int steps) {
    if (isEnabled())
        pressOnceTo(stepped(steps));
}

bool SecondsSlider::event(QEvent* event) {
    // With the focus, the slider's own keys move the slider rather than what the window's
    // table gives them; keys with modifiers stay the window's.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
            if (plain) {
                event->accept();
                return true;
            }
            break;
        default:
            break;
        }
    }
    return QWidget::event(event);
}

void SecondsSlider::keyPressEvent(QKeyEvent* event) {
    const double range = maximum_ - minimum_;
    const double page = page_ > 0 ? page_ : range / 10;
    double target = value_;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        target = stepped(-1);
        break;
    case Qt::Key_Right:
    case Qt::Key_Up:
        target = stepped(1);
        break;
    case Qt::Key_PageDown:
        target -= page;
        break;
    case Qt::Key_PageUp:
        target += page;
        break;
    case Qt::Key_Home:
        target = minimum_;
        break;
    case Qt::Key_End:
        target = maximum_;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    pressOnceTo(target);
}

void SecondsSlider::wheelEvent(QWheelEvent* event) {
    // Turning up or right moves forward, as a standard slider does; fine-grained wheels add
    // up to whole notches.
    const QPoint delta = event->angleDelta();
    wheelRest_ += std::abs(delta.y()) >= std::abs(delta.x()) ? delta.y() : delta.x();
    const int notches = wheelRest_ / QWheelEvent::DefaultDeltasPerStep;
    wheelRest_ -= notches * QWheelEvent::DefaultDeltasPerStep;
    event->accept();
    if (notches != 0)
        pressOnceTo(stepped(notches));
}

void SecondsSlider::pressOnceTo(double target) {
    if (down_)
        return; // the mouse holds the slider; its round is not over
    down_ = true;
    emit pressed();
    if (std::isfinite(target))
        moveTo(target);
    finishPress();
}

void SecondsSlider::changeEvent(QEvent* event) {
    // A slider disabled while held gets no release from the mouse; end the round here so
    // whoever listens is never left inside a drag.
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        finishPress();
    QWidget::changeEvent(event);
}

} // namespace trimwell
