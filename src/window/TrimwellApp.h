#pragma once
// The windowed program's one scene: the edit model of the process and the single window that
// shows it, titled "Trimwell", with the File menu's two commands. Construct it once, after the
// QApplication, on the main thread; nothing in the program makes a second window.
#include "FileDialogPanels.h"

#include <QStringList>

#include <memory>

class QAction;
class QMainWindow;

namespace trimwell {

class Panels;
class TrimwellModel;
class TrimwellWindow;

class TrimwellApp {
public:
    static constexpr int kDefaultWidth = 880;
    static constexpr int kDefaultHeight = 740;
    static constexpr int kMinimumWidth = 720;
    static constexpr int kMinimumHeight = 640;

    // The model with the real player, and the file dialogs as its panels.
    TrimwellApp();
    // A given model (tests script its player), and panels when given (not owned).
    explicit TrimwellApp(std::unique_ptr<TrimwellModel> model, Panels* panels = nullptr);
    // Closes the window first, then releases the model, which stops a running save, waits for
    // it and so removes its partial file before the program ends.
    ~TrimwellApp();
    TrimwellApp(const TrimwellApp&) = delete;
    TrimwellApp& operator=(const TrimwellApp&) = delete;

    TrimwellModel& model() const { return *model_; }
    QMainWindow& window() const { return *window_; }
    TrimwellWindow& content() const { return *content_; }
    QAction& openAction() const { return *open_; }
    QAction& saveAction() const { return *save_; }
    // View > Timeline pictures: the timeline strip's pictures and sound, on at start.
    QAction& timelinePicturesAction() const { return *timelinePictures_; }
    // Help > Keyboard: the table of every key.
    QAction& keyboardAction() const { return *keyboard_; }

    void show();
    // Opens the movie named on the command line, as if it had been picked: the first
    // argument after the program's name (after "--" when that comes first). Nothing else is
    // read; without such an argument nothing happens.
    void openArguments(const QStringList& arguments);

private:
    std::unique_ptr<TrimwellModel> model_; // main thread only; outlives the window
    FileDialogPanels dialogs_;             // main thread only
    std::unique_ptr<QMainWindow> window_;  // main thread only
    TrimwellWindow* content_{nullptr};     // main thread only; owned by window_
    QAction* open_{nullptr};               // main thread only; owned by window_
    QAction* save_{nullptr};               // main thread only; owned by window_
    QAction* timelinePictures_{nullptr};   // main thread only; owned by window_
    QAction* keyboard_{nullptr};           // main thread only; owned by window_
};

} // namespace trimwell
