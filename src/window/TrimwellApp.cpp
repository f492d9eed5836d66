#include "TrimwellApp.h"

#include "KeyboardHelp.h"
#include "TrimwellWindow.h"

#include "model/TrimwellModel.h"
#include "platform/player/MpvPlayer.h"

#include <QAction>
#include <QIcon>
#include <QMainWindow>
#include <QMenuBar>

namespace trimwell {

TrimwellApp::TrimwellApp()
    : TrimwellApp(std::make_unique<TrimwellModel>(std::make_unique<MpvPlayer>())) {}

TrimwellApp::TrimwellApp(std::unique_ptr<TrimwellModel> model, Panels* panels)
    : model_(std::move(model)), window_(std::make_unique<QMainWindow>()) {
    window_->setObjectName(QStringLiteral("main"));
    window_->setWindowTitle(QStringLiteral("Trimwell"));
    // The installed desktop entry's icon, found through the icon theme.
    window_->setWindowIcon(QIcon::fromTheme(QStringLiteral("trimwell")));
    dialogs_.setParent(window_.get());
    model_->setPanels(panels ? panels : &dialogs_);

    content_ = new TrimwellWindow(*model_, window_.get());
    content_->setMinimumSize(kMinimumWidth, kMinimumHeight);
    window_->setCentralWidget(content_);

    // The File menu holds only these; they are never disabled, since the model decides
    // whether each may run (a save in progress, a cut too short).
    QMenu* file = window_->menuBar()->addMenu(QStringLiteral("&File"));
    open_ = file->addAction(QStringLiteral("Open Movie\u2026"));
    open_->setShortcut(QKeySequence::Open);
    QObject::connect(open_, &QAction::triggered, model_.get(), &TrimwellModel::pick);
    save_ = file->addAction(QStringLiteral("Save Trimwell\u2026"));
    save_->setShortcut(QKeySequence::Save);
    QObject::connect(save_, &QAction::triggered, model_.get(), &TrimwellModel::pickSave);
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence::Quit);
    QObject::connect(quit, &QAction::triggered, window_.get(), &QMainWindow::close);

    // Off until turned on again or the program quits; the program keeps no settings.
    QMenu* view = window_->menuBar()->addMenu(QStringLiteral("&View"));
    timelinePictures_ = view->addAction(QStringLiteral("Timeline pictures"));
    timelinePictures_->setCheckable(true);
    timelinePictures_->setChecked(model_->timeline().enabled());
    QObject::connect(timelinePictures_, &QAction::toggled, &model_->timeline(),
                     &TimelineModel::setEnabled);
    view->addAction(&content_->loopCutAction());

    QMenu* help = window_->menuBar()->addMenu(QStringLiteral("&Help"));
    keyboard_ = help->addAction(QStringLiteral("Keyboard"));
    keyboard_->setObjectName(QStringLiteral("keyboard"));
    QObject::connect(keyboard_, &QAction::triggered, window_.get(), [window = window_.get()] {
        auto* table = new KeyboardHelp(window);
        table->setAttribute(Qt::WA_DeleteOnClose);
        table->open();
    });

    // The content's default size is 880 x 740; the menu bar sits above it.
    window_->resize(kDefaultWidth, kDefaultHeight + window_->menuBar()->sizeHint().height());
}

TrimwellApp::~TrimwellApp() {
    // The window's widgets hold the model's player; they go before the model does.
    window_.reset();
    model_.reset();
}

void TrimwellApp::show() {
    window_->show();
}

void TrimwellApp::openArguments(const QStringList& arguments) {
    qsizetype at = 1;
    if (at < arguments.size() && arguments[at] == QLatin1String("--"))
        ++at;
    if (at < arguments.size() && !arguments[at].isEmpty())
        model_->open(arguments[at].toStdString());
}

} // namespace trimwell
