#include "TimelineStrip.h"

#include "model/TimelineModel.h"
#include "model/TrimwellModel.h"

#include <QHBoxLayout>
#include <QImage>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace trimwell {

namespace {

// The scroll bar is integer underneath; milliseconds are finer than its pixels.
constexpr double kScrollUnits = 1000;
// Quieter than this draws nothing: the floor of the waveform's decibel scale.
constexpr double kQuietestDecibels = -48;
constexpr int kGap = 2;
// The accent band along the top of the cut.
constexpr double kCutBand = 3;

// A peak's height on a decibel scale, so that speech stands out from silence and from music
// alike rather than only the loudest bursts showing.
double loudness(float peak) {
    if (!(peak > 0))
        return 0;
    const double decibels = 20 * std::log10(static_cast<double>(peak));
    return std::clamp(1 - decibels / kQuietestDecibels, 0.0, 1.0);
}

QToolButton* toolButton(const QString& text, const QString& name, const QString& tip,
                        QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setText(text);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setAccessibleName(tip);
    // Keys stay where they were: the zoom has its own shortcuts.
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRaise(true);
    return b;
}

} // namespace

class TimelineStrip::Canvas : public QWidget {
public:
    Canvas(TrimwellModel& model, TimelineStrip& strip)
        : QWidget(&strip), model_(model), timeline_(model.timeline()), strip_(strip) {
        setObjectName(QStringLiteral("timeline"));
        setAccessibleName(QStringLiteral("Timeline"));
        setAccessibleDescription(
            QStringLiteral("Pictures and sound of the movie along its length, with the cut "
                           "shaded and the playhead. Press or drag to move the playhead; the "
                           "wheel zooms, Shift and the wheel scroll."));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setMinimumWidth(100);
        setCursor(Qt::PointingHandCursor);
    }

    bool soundRow() const { return model_.hasAudio() && timeline_.hasSound() != false; }
    int wantedHeight() const { return kPictureRow + (soundRow() ? kGap + kSoundRow : 0); }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        strip_.attach();
    }
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void changeEvent(QEvent* event) override {
        // Disabled while held (a save began): the drag ends as the slider's does.
        if (event->type() == QEvent::EnabledChange && !isEnabled())
            finishDrag();
        QWidget::changeEvent(event);
    }

private:
    double secondsAt(double x) const { return timeline_.view().secondsAt(x); }
    double xAt(double seconds) const { return timeline_.view().xAt(seconds); }
    void drawPictures(QPainter& painter, const QRectF& row) const;
    void drawSound(QPainter& painter, const QRectF& row) const;
    void finishDrag();

    TrimwellModel& model_;
    TimelineModel& timeline_;
    TimelineStrip& strip_;
    bool down_{false}; // main thread only: between press and release
    int wheelRest_{0}; // main thread only: a wheel's turn short of a whole notch
    qreal ratio_{0};   // main thread only: the pixel ratio the pictures were asked at
};

TimelineStrip::TimelineStrip(TrimwellModel& model, QWidget* parent)
    : QWidget(parent), model_(model), timeline_(model.timeline()) {
    setObjectName(QStringLiteral("timelineStrip"));
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(kGap);
    canvas_ = new Canvas(model_, *this);
    rows->addWidget(canvas_);

    auto* bar = new QHBoxLayout;
    bar->setSpacing(4);
    scroll_ = new QScrollBar(Qt::Horizontal, this);
    scroll_->setObjectName(QStringLiteral("timelineScroll"));
    scroll_->setAccessibleName(QStringLiteral("Timeline scroll"));
    scroll_->setFocusPolicy(Qt::NoFocus);
    zoomOut_ = toolButton(QStringLiteral("\u2212"), QStringLiteral("timelineZoomOut"),
                          QStringLiteral("Zoom out (Ctrl+Minus)"), this);
    zoomIn_ = toolButton(QStringLiteral("+"), QStringLiteral("timelineZoomIn"),
                         QStringLiteral("Zoom in (Ctrl+Plus)"), this);
    whole_ = toolButton(QStringLiteral("Whole movie"), QStringLiteral("timelineWhole"),
                        QStringLiteral("Show the whole movie (Ctrl+0)"), this);
    bar->addWidget(scroll_, 1);
    bar->addWidget(zoomOut_);
    bar->addWidget(zoomIn_);
    bar->addWidget(whole_);
    rows->addLayout(bar);

    connect(zoomIn_, &QToolButton::clicked, this, &TimelineStrip::zoomIn);
    connect(zoomOut_, &QToolButton::clicked, this, &TimelineStrip::zoomOut);
    connect(whole_, &QToolButton::clicked, this, &TimelineStrip::showWholeMovie);
    connect(scroll_, &QScrollBar::valueChanged, this, [this](int value) {
        if (!scrolling_)
            timeline_.scrollTo(value / kScrollUnits);
    });

    // Wherever the focus is in the window, as the other zoom keys of desktop programs.
    const auto shortcut = [this](const QKeySequence& key, void (TimelineStrip::*action)()) {
        auto* s = new QShortcut(key, this);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Plus), &TimelineStrip::zoomIn);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal), &TimelineStrip::zoomIn);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus), &TimelineStrip::zoomOut);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_0), &TimelineStrip::showWholeMovie);

    for (auto signal : {&TimelineModel::viewChanged, &TimelineModel::picturesChanged,
                        &TimelineModel::peaksChanged, &TimelineModel::enabledChanged})
        connect(&timeline_, signal, this, &TimelineStrip::refresh);
    for (auto signal : {&TrimwellModel::durationChanged, &TrimwellModel::hasAudioChanged,
                        &TrimwellModel::inPointChanged, &TrimwellModel::outPointChanged,
                        &TrimwellModel::busyChanged})
        connect(&model_, signal, this, &TimelineStrip::refresh);
    connect(&model_, &TrimwellModel::playheadChanged, this, &TimelineStrip::follow);
    connect(&timeline_, &TimelineModel::enabledChanged, this,
            [this] { setVisible(timeline_.enabled()); });
    setVisible(timeline_.enabled());
    refresh();
}

TimelineStrip::~TimelineStrip() {
    timeline_.setStrip(0, kPictureRow, 1);
}

QWidget* TimelineStrip::canvas() const {
    return canvas_;
}

void TimelineStrip::attach() {
    timeline_.setStrip(canvas_->width(), kPictureRow, canvas_->devicePixelRatioF());
}

void TimelineStrip::zoomIn() {
    const double playhead = model_.playhead();
    const double x = timeline_.view().xAt(playhead);
    const double fraction = canvas_->width() > 0 ? x / canvas_->width() : 0.5;
    timeline_.zoomAround(playhead, kKeyZoom, fraction >= 0 && fraction <= 1 ? fraction : 0.5);
}

void TimelineStrip::zoomOut() {
    const double playhead = model_.playhead();
    const double x = timeline_.view().xAt(playhead);
    const double fraction = canvas_->width() > 0 ? x / canvas_->width() : 0.5;
    timeline_.zoomAround(playhead, 1 / kKeyZoom, fraction >= 0 && fraction <= 1 ? fraction : 0.5);
}

void TimelineStrip::showWholeMovie() {
    timeline_.showWhole();
}

void TimelineStrip::follow() {
    // Playing, stepping or a slider took the playhead out of a zoomed view: the view follows
    // it by pages, so the pictures stay put while it crosses them.
    const TimelineView& view = timeline_.view();
    const double playhead = model_.playhead();
    if (!view.whole() && (playhead < view.start() || playhead > view.end()))
        timeline_.scrollTo(playhead < view.start() ? playhead - view.span() * 0.9 : playhead);
    canvas_->update();
}

void TimelineStrip::refresh() {
    const TimelineView& view = timeline_.view();
    const bool movie = model_.duration() > 0;
    canvas_->setEnabled(movie && !model_.busy());
    if (canvas_->height() != canvas_->wantedHeight())
        canvas_->setFixedHeight(canvas_->wantedHeight());

    scrolling_ = true;
    const int hidden =
        static_cast<int>(std::lround((view.duration() - view.span()) * kScrollUnits));
    scroll_->setRange(0, std::max(0, hidden));
    scroll_->setPageStep(std::max(1, static_cast<int>(std::lround(view.span() * kScrollUnits))));
    scroll_->setSingleStep(std::max(1, scroll_->pageStep() / 10));
    scroll_->setValue(static_cast<int>(std::lround(view.start() * kScrollUnits)));
    scroll_->setEnabled(movie && !view.whole());
    scrolling_ = false;
    zoomIn_->setEnabled(movie && view.span() > view.shortestSpan());
    zoomOut_->setEnabled(movie && !view.whole());
    whole_->setEnabled(movie && !view.whole());
    canvas_->update();
}

void TimelineStrip::Canvas::paintEvent(QPaintEvent*) {
    if (ratio_ != devicePixelRatioF()) {
        // Moved to a screen of another scale: pictures sharp at the new one.
        ratio_ = devicePixelRatioF();
        QTimer::singleShot(0, &strip_, [strip = &strip_] { strip->attach(); });
    }
    QPainter painter(this);
    const QPalette& colours = palette();
    const QRectF pictures(0, 0, width(), kPictureRow);
    const QRectF sound(0, kPictureRow + kGap, width(), kSoundRow);
    painter.fillRect(pictures, colours.color(QPalette::Dark));
    if (soundRow())
        painter.fillRect(sound, colours.color(QPalette::Base));
    if (model_.duration() <= 0)
        return;

    drawPictures(painter, pictures);
    if (soundRow())
        drawSound(painter, sound);

    // The cut: what lies outside it dimmed, so the pictures inside stay clear; a band in the
    // accent along its top and its ends as lines.
    const double in = std::clamp(xAt(model_.inPoint()), -1.0, width() + 1.0);
    const double out = std::clamp(xAt(model_.outPoint()), -1.0, width() + 1.0);
    const QColor accent = colours.color(QPalette::Highlight);
    if (out > in) {
        QColor dim = colours.color(QPalette::Shadow);
        dim.setAlphaF(0.55f);
        painter.fillRect(QRectF(0, 0, std::max(0.0, in), height()), dim);
        painter.fillRect(QRectF(out, 0, std::max(0.0, width() - out), height()), dim);
        painter.fillRect(QRectF(in, 0, out - in, kCutBand), accent);
        painter.setPen(QPen(accent, 2));
        painter.drawLine(QPointF(in, 0), QPointF(in, height()));
        painter.drawLine(QPointF(out, 0), QPointF(out, height()));
    }

    const double playhead = xAt(model_.playhead());
    if (playhead >= -1 && playhead <= width() + 1) {
        // A light line with a dark edge shows over dark and light pictures alike.
        painter.setPen(QPen(colours.color(QPalette::Shadow), 4));
        painter.drawLine(QPointF(playhead, 0), QPointF(playhead, height()));
        painter.setPen(QPen(colours.color(QPalette::BrightText), 2));
        painter.drawLine(QPointF(playhead, 0), QPointF(playhead, height()));
    }
}

void TimelineStrip::Canvas::drawPictures(QPainter& painter, const QRectF& row) const {
    const qreal ratio = devicePixelRatioF();
    QColor placeholder = palette().color(QPalette::Mid);
    for (const TimelineModel::Stretch& stretch : timeline_.stretches()) {
        const double from = xAt(stretch.from);
        const double to = std::min(xAt(stretch.to), row.right());
        if (to <= row.left() || from >= row.right() || to <= from)
            continue;
        const QRectF area(from, row.top(), to - from, row.height());
        if (stretch.pending) {
            // Where a picture is still being read: a plain tile the picture will replace.
            painter.fillRect(area.adjusted(1, 2, -1, -2), placeholder);
            continue;
        }
        if (!stretch.picture)
            continue; // nothing could be read there; the row stays empty
        const TimelinePicture& p = *stretch.picture;
        // Wraps the model's bytes without a copy; drawn at the screen's pixels, so one
        // picture pixel is one screen pixel at any scale.
        QImage image(p.bgra.data(), p.width, p.height, p.width * 4, QImage::Format_RGB32);
        image.setDevicePixelRatio(ratio);
        const double tile = p.width / ratio;
        const double top = row.top() + (row.height() - p.height / ratio) / 2;
        painter.save();
        painter.setClipRect(area.intersected(row));
        // A picture longer on the strip than it is wide repeats, so a long still stretch
        // reads as one scene.
        for (double x = from; x < to; x += tile)
            if (x + tile > row.left())
                painter.drawImage(QPointF(std::round(x * ratio) / ratio, top), image);
        painter.restore();
        // A thin gap marks where the next picture begins.
        painter.fillRect(QRectF(to - 1, row.top(), 1, row.height()),
                         palette().color(QPalette::Dark));
    }
}

void TimelineStrip::Canvas::drawSound(QPainter& painter, const QRectF& row) const {
    const std::vector<float>& peaks = timeline_.peaks();
    if (peaks.empty())
        return;
    const qreal ratio = devicePixelRatioF();
    const double perPeak = TimelineModel::kSecondsPerPeak;
    const double middle = row.center().y();
    const double half = row.height() / 2 - 1;
    QColor wave = palette().color(QPalette::Text);
    wave.setAlphaF(0.75f);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    QPen pen(wave);
    pen.setWidthF(1 / ratio);
    pen.setCosmetic(false);
    painter.setPen(pen);
    // One column per screen pixel: the loudest peak of the stretch that column covers.
    const int columns = static_cast<int>(std::ceil(width() * ratio));
    for (int c = 0; c < columns; ++c) {
        const double x = c / ratio;
        const double from = secondsAt(x);
        const double to = secondsAt(x + 1 / ratio);
        auto first = static_cast<std::size_t>(std::max(0.0, std::floor(from / perPeak)));
        const auto last = static_cast<std::size_t>(std::max(0.0, std::ceil(to / perPeak)));
        if (first >= peaks.size())
            break; // not read yet: the waveform grows as the sound is read
        float most = 0;
        for (std::size_t i = first; i < last && i < peaks.size(); ++i)
            most = std::max(most, peaks[i]);
        const double h = std::max(0.5 / ratio, loudness(most) * half);
        const double px = x + 0.5 / ratio;
        painter.drawLine(QPointF(px, middle - h), QPointF(px, middle + h));
    }
    painter.restore();
}

void TimelineStrip::Canvas::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || down_ || !isEnabled()) {
        event->ignore();
        return;
    }
    // The playhead slider's round: press, moves, release; the preview follows each move.
    down_ = true;
    model_.beginPlayheadDrag();
    model_.setPlayhead(secondsAt(event->position().x()));
}

void TimelineStrip::Canvas::mouseMoveEvent(QMouseEvent* event) {
    if (!down_) {
        event->ignore();
        return;
    }
    model_.setPlayhead(secondsAt(std::clamp<double>(event->position().x(), 0, width())));
}

void TimelineStrip::Canvas::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !down_) {
        event->ignore();
        return;
    }
    model_.setPlayhead(secondsAt(std::clamp<double>(event->position().x(), 0, width())));
    finishDrag();
}

void TimelineStrip::Canvas::finishDrag() {
    if (!down_)
        return;
    down_ = false;
    model_.endPlayheadDrag();
}

void TimelineStrip::Canvas::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (model_.duration() <= 0)
        return;
    const QPoint delta = event->angleDelta();
    const bool sideways =
        std::abs(delta.x()) > std::abs(delta.y()) || event->modifiers().testFlag(Qt::ShiftModifier);
    wheelRest_ += std::abs(delta.y()) >= std::abs(delta.x()) ? delta.y() : delta.x();
    const int notches = wheelRest_ / QWheelEvent::DefaultDeltasPerStep;
    wheelRest_ -= notches * QWheelEvent::DefaultDeltasPerStep;
    if (notches == 0)
        return;
    const TimelineView& view = timeline_.view();
    if (sideways) {
        // Turning down goes later in the movie, a tenth of the view per notch.
        timeline_.scrollTo(view.start() - notches * view.span() / 10);
        return;
    }
    const double x = std::clamp<double>(event->position().x(), 0, width());
    timeline_.zoomAround(secondsAt(x), std::pow(kWheelZoom, notches),
                         width() > 0 ? x / width() : 0.5);
}

} // namespace trimwell
