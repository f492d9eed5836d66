#include "FileDialogPanels.h"

#include <QFileDialog>
#include <QMimeDatabase>
#include <QStringList>

namespace trimwell {

namespace {

// The request's types as name filters: one for all of them, then one per MIME type the
// system knows, then everything (a movie with an unusual name can still be chosen; the model
// checks what it really is).
QStringList nameFilters(const std::vector<std::string>& mimeTypes,
                        const std::vector<std::string>& extensions, const QString& title) {
    QStringList filters;
    if (!extensions.empty()) {
        QStringList patterns;
        for (const std::string& extension : extensions)
            patterns << QStringLiteral("*.") + QString::fromStdString(extension);
        filters << title + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QStringLiteral(")");
    }
    const QMimeDatabase database;
    for (const std::string& name : mimeTypes) {
        const QMimeType type = database.mimeTypeForName(QString::fromStdString(name));
        if (type.isValid() && !type.globPatterns().isEmpty() &&
            !filters.contains(type.filterString()))
            filters << type.filterString();
    }
    return filters;
}

} // namespace

std::optional<std::string> FileDialogPanels::runOpen(const OpenPanelRequest& request) {
    QFileDialog dialog(parent_, QString::fromStdString(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    QStringList filters = nameFilters(request.mimeTypes, request.extensions, "Movies");
    filters << QStringLiteral("All files (*)");
    dialog.setNameFilters(filters);
    if (!request.folder.empty())
        dialog.setDirectory(QString::fromStdString(request.folder));
    if (!request.prompt.empty())
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst().toStdString();
}

std::optional<std::string> FileDialogPanels::runSave(const SavePanelRequest& request) {
    QFileDialog dialog(parent_, QString::fromStdString(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(nameFilters(request.mimeTypes, request.extensions, "MPEG-4 movie"));
    if (!request.extensions.empty())
        dialog.setDefaultSuffix(QString::fromStdString(request.extensions.front()));
    // The dialog offers a new folder unless it is read-only.
    dialog.setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
    if (!request.folder.empty())
        dialog.setDirectory(QString::fromStdString(request.folder));
    dialog.selectFile(QString::fromStdString(request.proposedName));
    if (!request.prompt.empty())
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst().toStdString();
}

} // namespace trimwell
