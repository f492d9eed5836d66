#include "TrimwellModel.h"

#include "labels/Labels.h"

#include <utility>

namespace trimwell {

namespace {

// Stores value and reports whether it differed. operator== gives the model's equality:
// numeric for doubles (so NaN never equals itself), none equals none for optionals.
template <typename T, typename U> bool assign(T& field, U&& value) {
    if (field == value)
        return false;
    field = std::forward<U>(value);
    return true;
}

} // namespace

TrimwellModel::TrimwellModel(std::unique_ptr<Player> player, Panels* panels, QObject* parent)
    : QObject(parent), player_(std::move(player)), panels_(panels) {
    canSave_ = canSave();
    aboutText_ = aboutText();
    // The change handlers run after every change of the field, whatever made it: a mark
    // dragged into the other pushes it away however the drag reached the model.
    connect(this, &TrimwellModel::playheadChanged, this, &TrimwellModel::playheadDragged);
    connect(this, &TrimwellModel::inPointChanged, this, &TrimwellModel::inDragged);
    connect(this, &TrimwellModel::outPointChanged, this, &TrimwellModel::outDragged);
}

TrimwellModel::~TrimwellModel() {
    // An export left running would outlive everything it reports to, and at exit it would
    // race the process's teardown and leave its partial file behind.
    if (stopFlag_)
        stopFlag_->requestStop();
    if (saveThread_.joinable())
        saveThread_.join();
    // No read still queued starts, and the one running ends before the model does.
    wantedRead_->store(-1);
    readQueue_.reset();
}

bool TrimwellModel::canSave() const {
    return sourceURL_.has_value() && duration_ > shortest_ && outPoint_ - inPoint_ >= shortest_ &&
           !busy_ && !reading_;
}

QString TrimwellModel::aboutText() const {
    return QString::fromStdString(
        trimwell::aboutText(duration_, inPoint_, outPoint_, megabits_, hasAudio_));
}

void TrimwellModel::refreshDerived() {
    if (assign(canSave_, canSave()))
        emit canSaveChanged();
    if (assign(aboutText_, aboutText()))
        emit aboutTextChanged();
}

void TrimwellModel::setSourceURL(std::optional<std::string> value) {
    if (!assign(sourceURL_, std::move(value)))
        return;
    emit sourceURLChanged();
    refreshDerived();
}

void TrimwellModel::setDuration(double value) {
    if (!assign(duration_, value))
        return;
    emit durationChanged();
    refreshDerived();
}

void TrimwellModel::setHasAudio(bool value) {
    if (!assign(hasAudio_, value))
        return;
    emit hasAudioChanged();
    refreshDerived();
}

void TrimwellModel::setInPoint(double value) {
    if (!assign(inPoint_, value))
        return;
    emit inPointChanged();
    refreshDerived();
}

void TrimwellModel::setOutPoint(double value) {
    if (!assign(outPoint_, value))
        return;
    emit outPointChanged();
    refreshDerived();
}

void TrimwellModel::setPlayhead(double value) {
    if (assign(playhead_, value))
        emit playheadChanged();
}

void TrimwellModel::setMegabits(double value) {
    if (!assign(megabits_, value))
        return;
    emit megabitsChanged();
    refreshDerived();
}

void TrimwellModel::setStatus(const QString& value) {
    if (!assign(status_, value))
        return;
    // A reason belongs to the status it explains.
    setStatusDetail(QString());
    emit statusChanged();
}

void TrimwellModel::setStatusDetail(const QString& value) {
    if (assign(statusDetail_, value))
        emit statusDetailChanged();
}

void TrimwellModel::setBusy(bool value) {
    if (!assign(busy_, value))
        return;
    emit busyChanged();
    refreshDerived();
}

void TrimwellModel::setProgress(double value) {
    if (assign(progress_, value))
        emit progressChanged();
}

void TrimwellModel::setPlaying(bool value) {
    if (assign(playing_, value))
        emit playingChanged();
    // However playing stopped (pause, the out mark, a drag, a save, the movie's end), the next
    // play starts at the normal pace again.
    if (!value)
        setSpeed(1);
}

void TrimwellModel::setSpeed(double value) {
    if (assign(speed_, value))
        emit speedChanged();
}

void TrimwellModel::setLoopCut(bool value) {
    if (busy_)
        return;
    if (assign(loopCut_, value))
        emit loopCutChanged();
}

// The tokens and boxes have no equality: a write is always news.
void TrimwellModel::setTimeToken(std::optional<ObserverToken> value) {
    timeToken_ = value;
    emit timeTokenChanged();
}

void TrimwellModel::setBoundaryToken(std::optional<ObserverToken> value) {
    boundaryToken_ = value;
    emit boundaryTokenChanged();
}

void TrimwellModel::setLoadTicket(qint64 value) {
    if (assign(loadTicket_, value))
        emit loadTicketChanged();
}

void TrimwellModel::setDrag(std::optional<Drag> value) {
    if (assign(drag_, value))
        emit dragChanged();
}

void TrimwellModel::setInside(bool value) {
    if (assign(inside_, value))
        emit insideChanged();
}

void TrimwellModel::setStopFlag(std::shared_ptr<StopFlag> value) {
    stopFlag_ = std::move(value);
    emit stopFlagChanged();
}

void TrimwellModel::setProgressBox(std::shared_ptr<FractionBox> value) {
    progressBox_ = std::move(value);
    emit progressBoxChanged();
}

void TrimwellModel::setProgressTimer(std::unique_ptr<QTimer> value) {
    if (progressTimer_ == value)
        return;
    // The old timer goes only after the swap, so nobody can read a dangling pointer.
    std::unique_ptr<QTimer> old = std::exchange(progressTimer_, std::move(value));
    emit progressTimerChanged();
}

void TrimwellModel::setReading(bool value) {
    if (assign(reading_, value))
        refreshDerived();
}

double TrimwellModel::clampToMovie(double seconds) const {
    if (!(seconds >= 0)) // also catches NaN
        return 0;
    return seconds > duration_ ? duration_ : seconds;
}

} // namespace trimwell
