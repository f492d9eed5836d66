#include "TrimwellWindow.h"

#include "ElidedLabel.h"
#include "GoToTimeDialog.h"
#include "PreviewPane.h"
#include "SecondsSlider.h"
#include "ShopMark.h"
#include "TimelineStrip.h"
#include "WindowKeys.h"

#include "labels/Labels.h"
#include "model/TrimwellModel.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>
#include <filesystem>

namespace trimwell {

namespace {

constexpr int kRowSpacing = 14;
constexpr int kMargin = 16;
constexpr int kItemSpacing = 10;
constexpr int kFileRowSpacing = 12;
constexpr int kTitleWidth = 92;
constexpr int kMarkLabelWidth = 72;
constexpr int kSetButtonWidth = 72;
constexpr int kTimeWidth = 132;
constexpr int kBitRateWidth = 84;
constexpr int kProgressWidth = 140;
constexpr double kPageSeconds = 1.0;
constexpr double kLowestMegabits = 0.5;
constexpr double kHighestMegabits = 20;
// The progress bar is integer underneath; a thousandth is finer than its pixels.
constexpr int kProgressSteps = 1000;

// Clock texts must not jitter as their digits change: most interface fonts already draw
// digits of one width; where this one does not, the fixed-width system font stands in.
QFont equalDigits(const QFont& base) {
    const QFontMetricsF metrics(base);
    const qreal zero = metrics.horizontalAdvance(QLatin1Char('0'));
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (metrics.horizontalAdvance(QLatin1Char(digit)) != zero) {
            QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            if (base.pointSizeF() > 0)
                fixed.setPointSizeF(base.pointSizeF());
            return fixed;
        }
    }
    return base;
}

QLabel* fixedLabel(const QString& name, int width, Qt::Alignment alignment, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFixedWidth(width);
    label->setAlignment(alignment | Qt::AlignVCenter);
    return label;
}

QLabel* clockLabel(const QString& name, int width, QWidget* parent) {
    QLabel* label = fixedLabel(name, width, Qt::AlignRight, parent);
    label->setFont(equalDigits(label->font()));
    return label;
}

void secondary(QWidget* widget) {
    widget->setForegroundRole(QPalette::PlaceholderText);
}

QPushButton* button(const QString& title, const QString& name, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(name);
    // A click leaves the focus, and so the keys, where they were: the space bar and the
    // arrows are the window's (see WindowKeys), never a button's.
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoDefault(false);
    return b;
}

// Both calls are cheap but not free: skip them when nothing changed, since the clock
// refreshes the window twenty times a second.
void setText(QLabel* label, const QString& text) {
    if (label->text() != text)
        label->setText(text);
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TrimwellWindow::TrimwellWindow(TrimwellModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    QPalette accented = palette();
    accented.setColor(QPalette::Highlight, kAccent);
    setPalette(accented);
    setAcceptDrops(true);

    auto* rows = new QVBoxLayout(this);
    rows->setSpacing(kRowSpacing);
    rows->setContentsMargins(kMargin, kMargin, kMargin, kMargin);

    preview_ = new PreviewPane(model_.player(), this);
    preview_->setObjectName("preview");
    rows->addWidget(preview_, 1);
    rows->addWidget(new TimelineStrip(model_, this));

    auto* playRow = new QHBoxLayout;
    playRow->setSpacing(kItemSpacing);
    play_ = button(QStringLiteral("Play"), "play", this);
    playhead_ = new SecondsSlider(this);
    playhead_->setObjectName("playhead");
    time_ = clockLabel("time", kTimeWidth, this);
    // The pace while it is not the normal one: "2×", "Backward 1×".
    speed_ = new QLabel(this);
    speed_->setObjectName("speed");
    speed_->setAccessibleName(QStringLiteral("Playing speed"));
    speed_->hide();
    playRow->addWidget(play_);
    playRow->addWidget(playhead_, 1);
    playRow->addWidget(speed_);
    playRow->addWidget(time_);
    rows->addLayout(playRow);

    rows->addLayout(boundRow(QStringLiteral("In"), "in", QStringLiteral("Set In"), in_));
    rows->addLayout(boundRow(QStringLiteral("Out"), "out", QStringLiteral("Set Out"), out_));

    auto* rateRow = new QHBoxLayout;
    rateRow->setSpacing(kItemSpacing);
    auto* rateTitle = fixedLabel("rateTitle", kTitleWidth, Qt::AlignLeft, this);
    rateTitle->setText(QStringLiteral("Picture rate"));
    megabits_ = new SecondsSlider(this);
    megabits_->setObjectName("megabits");
    megabits_->setRange(kLowestMegabits, kHighestMegabits);
    megabits_->setSteps(0.1, 1.0);
    // Its arrows change the rate: it has them when the keyboard went there, not after a drag.
    megabits_->setFocusPolicy(Qt::TabFocus);
    bitRate_ = clockLabel("bitRate", kBitRateWidth, this);
    rateRow->addWidget(rateTitle);
    rateRow->addWidget(megabits_, 1);
    rateRow->addWidget(bitRate_);
    rows->addLayout(rateRow);

    auto* sizeRow = new QHBoxLayout;
    about_ = new QLabel(this);
    about_->setObjectName("about");
    soundNote_ = new QLabel(this);
    soundNote_->setObjectName("soundNote");
    secondary(soundNote_);
    sizeRow->addWidget(about_);
    sizeRow->addStretch(1);
    sizeRow->addWidget(soundNote_);
    rows->addLayout(sizeRow);

    auto* fileRow = new QHBoxLayout;
    fileRow->setSpacing(kFileRowSpacing);
    open_ = button(QStringLiteral("Open"), "open", this);
    fileName_ = new ElidedLabel(this);
    fileName_->setObjectName("fileName");
    secondary(fileName_);
    save_ = button(QStringLiteral("Save"), "save", this);
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progress");
    progress_->setRange(0, kProgressSteps);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(kProgressWidth);
    stop_ = button(QStringLiteral("Stop"), "stop", this);
    fileRow->addWidget(open_);
    fileRow->addWidget(fileName_, 1);
    fileRow->addWidget(save_);
    fileRow->addWidget(progress_);
    fileRow->addWidget(stop_);
    rows->addLayout(fileRow);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(kFileRowSpacing);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    secondary(status_);
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    mark_ = new ShopMark(this);
    mark_->setObjectName("mark");
    statusRow->addWidget(status_, 1, Qt::AlignBottom);
    statusRow->addWidget(mark_, 0, Qt::AlignBottom);
    rows->addLayout(statusRow);

    connectControls();
    // In the View menu with its key shown; the key itself is the window's (connectKeys), so
    // the action's own shortcut only names it there.
    loopCut_ = new QAction(QStringLiteral("Loop the cut"), this);
    loopCut_->setObjectName("loopCut");
    loopCut_->setCheckable(true);
    loopCut_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    loopCut_->setShortcutContext(Qt::WidgetShortcut);
    connect(loopCut_, &QAction::toggled, &model_, &TrimwellModel::setLoopCut);

    // A double click on a mark's time asks for that mark's time.
    for (QLabel* label : {in_.label, out_.label}) {
        label->installEventFilter(this);
        label->setToolTip(QStringLiteral("Double-click to type this mark's time"));
    }

    connectKeys();
    connectModel();
    refresh();
}

QLayout* TrimwellWindow::boundRow(const QString& title, const QString& name,
                                  const QString& setTitle, MarkRow& row) {
    auto* layout = new QHBoxLayout;
    layout->setSpacing(kItemSpacing);
    auto* titleLabel = fixedLabel(name + "Title", kTitleWidth, Qt::AlignLeft, this);
    titleLabel->setText(title);
    row.slider = new SecondsSlider(this);
    row.slider->setObjectName(name + "Slider");
    row.label = clockLabel(name + "Label", kMarkLabelWidth, this);
    row.set = button(setTitle, name + "Set", this);
    row.set->setFixedWidth(kSetButtonWidth);
    layout->addWidget(titleLabel, 0, Qt::AlignVCenter);
    layout->addWidget(row.slider, 1, Qt::AlignVCenter);
    layout->addWidget(row.label, 0, Qt::AlignVCenter);
    layout->addWidget(row.set, 0, Qt::AlignVCenter);
    return layout;
}

void TrimwellWindow::connectControls() {
    TrimwellModel* m = &model_;
    connect(play_, &QPushButton::clicked, m, &TrimwellModel::togglePlay);

    // Arrow keys and the wheel go from picture to picture, page keys a second at a time.
    for (SecondsSlider* slider : {playhead_, in_.slider, out_.slider}) {
        slider->setStepper(
            [m](double value, int steps) { return m->pictureTimeFrom(value, steps); });
        slider->setSteps(0, kPageSeconds);
    }

    // Each slider writes its field; the model's change signal then reports the change back
    // (see connectModel), so a change by the user and one by the model take the same path.
    connect(playhead_, &SecondsSlider::pressed, m, &TrimwellModel::beginPlayheadDrag);
    connect(playhead_, &SecondsSlider::moved, m, &TrimwellModel::setPlayhead);
    connect(playhead_, &SecondsSlider::released, m, &TrimwellModel::endPlayheadDrag);
    connect(in_.slider, &SecondsSlider::pressed, m, &TrimwellModel::beginInDrag);
    connect(in_.slider, &SecondsSlider::moved, m, &TrimwellModel::setInPoint);
    connect(in_.slider, &SecondsSlider::released, m, &TrimwellModel::endInDrag);
    connect(out_.slider, &SecondsSlider::pressed, m, &TrimwellModel::beginOutDrag);
    connect(out_.slider, &SecondsSlider::moved, m, &TrimwellModel::setOutPoint);
    connect(out_.slider, &SecondsSlider::released, m, &TrimwellModel::endOutDrag);
    connect(in_.set, &QPushButton::clicked, m, &TrimwellModel::setInFromPlayhead);
    connect(out_.set, &QPushButton::clicked, m, &TrimwellModel::setOutFromPlayhead);
    connect(megabits_, &SecondsSlider::moved, m, &TrimwellModel::setMegabits);

    connect(open_, &QPushButton::clicked, m, &TrimwellModel::pick);
    connect(save_, &QPushButton::clicked, m, &TrimwellModel::pickSave);
    connect(stop_, &QPushButton::clicked, m, &TrimwellModel::stop);
}

void TrimwellWindow::connectKeys() {
    auto* keys = new WindowKeys(this);
    // The space bar plays and pauses, unless Play is disabled.
    keys->add(QKeySequence(Qt::Key_Space), [this] {
        if (play_->isEnabled())
            play_->click();
    });
    // The arrows step the playhead a picture, as its own slider's do.
    keys->add(QKeySequence(Qt::Key_Right), [this] { playhead_->step(1); });
    keys->add(QKeySequence(Qt::Key_Left), [this] { playhead_->step(-1); });
    // I and O are Set In and Set Out; the others are the model's keyboard operations, which
    // refuse while a save runs as the controls they stand for are disabled then.
    keys->add(QKeySequence(Qt::Key_I), [this] {
        if (in_.set->isEnabled())
            in_.set->click();
    });
    keys->add(QKeySequence(Qt::Key_O), [this] {
        if (out_.set->isEnabled())
            out_.set->click();
    });
    TrimwellModel* m = &model_;
    const std::pair<QKeyCombination, void (TrimwellModel::*)()> moves[] = {
        {Qt::SHIFT | Qt::Key_I, &TrimwellModel::goToInMark},
        {Qt::SHIFT | Qt::Key_O, &TrimwellModel::goToOutMark},
        {QKeyCombination(Qt::Key_Home), &TrimwellModel::goToStart},
        {QKeyCombination(Qt::Key_End), &TrimwellModel::goToEnd},
        {QKeyCombination(Qt::Key_J), &TrimwellModel::shuttleBackward},
        {QKeyCombination(Qt::Key_K), &TrimwellModel::shuttlePause},
        {QKeyCombination(Qt::Key_L), &TrimwellModel::shuttleForward},
        {QKeyCombination(Qt::Key_P), &TrimwellModel::playCut},
    };
    for (const auto& [key, operation] : moves)
        keys->add(QKeySequence(key), [m, operation] { (m->*operation)(); });
    // A second at a time, as the playhead slider's page keys go.
    keys->add(QKeySequence(Qt::SHIFT | Qt::Key_Right), [m] { m->moveBy(kPageSeconds); });
    keys->add(QKeySequence(Qt::SHIFT | Qt::Key_Left), [m] { m->moveBy(-kPageSeconds); });
    keys->add(QKeySequence(Qt::CTRL | Qt::Key_G), [this] { askForTime(TimeTarget::playhead); });
    keys->add(loopCut_->shortcut(), [this] {
        if (loopCut_->isEnabled())
            loopCut_->trigger();
    });
}

void TrimwellWindow::connectModel() {
    TrimwellModel* m = &model_;
    for (auto signal : {&TrimwellModel::sourceURLChanged, &TrimwellModel::durationChanged,
                        &TrimwellModel::hasAudioChanged, &TrimwellModel::inPointChanged,
                        &TrimwellModel::outPointChanged, &TrimwellModel::playheadChanged,
                        &TrimwellModel::megabitsChanged, &TrimwellModel::statusChanged,
                        &TrimwellModel::statusDetailChanged, &TrimwellModel::busyChanged,
                        &TrimwellModel::finishingChanged, &TrimwellModel::progressChanged,
                        &TrimwellModel::playingChanged, &TrimwellModel::speedChanged,
                        &TrimwellModel::loopCutChanged, &TrimwellModel::canSaveChanged,
                        &TrimwellModel::aboutTextChanged})
        connect(m, signal, this, &TrimwellWindow::refresh);
}

void TrimwellWindow::refresh() {
    const double duration = model_.duration();
    const bool movie = duration > 0;
    const bool busy = model_.busy();
    const bool timeControls = movie && !busy;
    // The time sliders' range: the movie, or a placeholder so that it is never empty.
    const double span = movie ? duration : 1.0;

    play_->setText(model_.playing() ? QStringLiteral("Pause") : QStringLiteral("Play"));
    play_->setEnabled(timeControls);
    playhead_->setRange(0, span);
    playhead_->setValue(model_.playhead());
    playhead_->setEnabled(timeControls);
    setText(time_, text(cutClock(model_.playhead()) + " / " + cutClock(duration)));
    const double speed = model_.speed();
    const bool unusual = model_.playing() && speed != 1;
    setText(speed_, !unusual    ? QString()
                    : speed > 0 ? QStringLiteral("%1\u00d7").arg(speed)
                                : QStringLiteral("Backward %1\u00d7").arg(-speed));
    speed_->setVisible(unusual);
    {
        const QSignalBlocker quiet(loopCut_);
        loopCut_->setChecked(model_.loopCut());
    }
    loopCut_->setEnabled(!busy);

    for (auto [row, value] : {std::pair{&in_, model_.inPoint()}, {&out_, model_.outPoint()}}) {
        row->slider->setRange(0, span);
        row->slider->setValue(value);
        row->slider->setEnabled(timeControls);
        setText(row->label, text(cutClock(value)));
        row->set->setEnabled(timeControls);
    }

    megabits_->setValue(model_.megabits());
    megabits_->setEnabled(!busy);
    setText(bitRate_, text(bitRateText(model_.megabits())));

    setText(about_, model_.aboutText());
    setText(soundNote_, !movie              ? QString()
                        : model_.hasAudio() ? QStringLiteral("Sound is kept at 160 kb/s.")
                                            : QStringLiteral("This movie has no sound."));

    open_->setEnabled(!busy);
    const auto& source = model_.sourceURL();
    fileName_->setFullText(
        source ? QString::fromStdString(std::filesystem::path(*source).filename().string())
               : QStringLiteral("No movie"));
    save_->setVisible(!busy);
    save_->setEnabled(model_.canSave());
    progress_->setVisible(busy);
    const double fraction = std::isfinite(model_.progress()) ? model_.progress() : 0.0;
    progress_->setValue(
        static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * kProgressSteps)));
    stop_->setVisible(busy);
    // Past the point where a save can stop, Stop is greyed out and the status says why.
    stop_->setEnabled(!model_.finishing());

    setText(status_, model_.status());
    if (status_->toolTip() != model_.statusDetail())
        status_->setToolTip(model_.statusDetail());
}

void TrimwellWindow::askForTime(TimeTarget target) {
    if (!(model_.duration() > 0) || model_.busy())
        return;
    if (auto* open = findChild<GoToTimeDialog*>(); open && open->isVisible()) {
        open->raise();
        open->activateWindow();
        return;
    }
    TrimwellModel* m = &model_;
    GoToTimeDialog* dialog = nullptr;
    switch (target) {
    case TimeTarget::playhead:
        dialog = new GoToTimeDialog(
            QStringLiteral("Go to Time"), m->playhead(), [m](double t) { m->goToTime(t); }, this);
        break;
    case TimeTarget::inMark:
        dialog = new GoToTimeDialog(
            QStringLiteral("Set In Mark"), m->inPoint(), [m](double t) { m->setInAt(t); }, this);
        break;
    case TimeTarget::outMark:
        dialog = new GoToTimeDialog(
            QStringLiteral("Set Out Mark"), m->outPoint(), [m](double t) { m->setOutAt(t); }, this);
        break;
    }
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

bool TrimwellWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == in_.label) {
            askForTime(TimeTarget::inMark);
            return true;
        }
        if (watched == out_.label) {
            askForTime(TimeTarget::outMark);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TrimwellWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_.armClock();
}

namespace {

std::vector<std::string> droppedFiles(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data)
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.push_back(url.toLocalFile().toStdString());
    return paths;
}

} // namespace

void TrimwellWindow::dragEnterEvent(QDragEnterEvent* event) {
    // Accepted without any highlight; whether the drop is taken is the model's call.
    if (!droppedFiles(event->mimeData()).empty())
        event->acceptProposedAction();
}

void TrimwellWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!droppedFiles(event->mimeData()).empty())
        event->acceptProposedAction();
}

void TrimwellWindow::dropEvent(QDropEvent* event) {
    if (model_.takeDrop(droppedFiles(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

} // namespace trimwell
