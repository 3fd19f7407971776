#include "ui/framework/Prompts.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

#include <atomic>

namespace Tessaline::Ui {

namespace {
std::atomic<CPromptResponder *> g_responder{nullptr};

QMessageBox::Icon IconFor(unsigned type)
{
    switch (type & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}
}  // namespace

CPromptResponder *SetPromptResponder(CPromptResponder *responder)
{
    return g_responder.exchange(responder);
}

int MessageBox(QWidget *parent, const QString &text, unsigned type)
{
    return MessageBox(parent, text, QString(), type);
}

int MessageBox(QWidget *parent, const QString &text, const QString &title, unsigned type)
{
    if (CPromptResponder *responder = g_responder.load())
        return title.isEmpty() ? responder->OnMessageBox(parent, text, type)
                               : responder->OnTitledMessageBox(parent, text, title, type);

    QMessageBox box(IconFor(type), title.isEmpty() ? QApplication::applicationDisplayName() : title, text,
                    QMessageBox::NoButton, parent);
    switch (type & 0x0F) {
    case MB_OKCANCEL:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    case MB_YESNOCANCEL:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        // Escape or closing the box: Cancel where there is one, else the only button.
        if ((type & 0x0F) == MB_OK)
            return IDOK;
        if ((type & 0x0F) == MB_YESNO)
            return IDNO;
        return IDCANCEL;
    }
}

static std::optional<QString> FileDialog(QWidget *parent, bool save, const QString &caption,
                                         const QString &directory, const QString &filter)
{
    if (CPromptResponder *responder = g_responder.load())
        return responder->OnFileDialog(parent, save, caption, directory, filter);
    const QString path = save ? QFileDialog::getSaveFileName(parent, caption, directory, filter)
                              : QFileDialog::getOpenFileName(parent, caption, directory, filter);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

std::optional<QString> GetOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                                       const QString &filter)
{
    return FileDialog(parent, false, caption, directory, filter);
}

std::optional<QString> GetSaveFileName(QWidget *parent, const QString &caption, const QString &directory,
                                       const QString &filter)
{
    return FileDialog(parent, true, caption, directory, filter);
}

int RunModal(QDialog *dialog)
{
    if (!dialog)
        return 0;
    if (CPromptResponder *responder = g_responder.load()) {
        if (std::optional<int> result = responder->OnModalDialog(dialog))
            return *result;
    }
    return dialog->exec();
}

}  // namespace Tessaline::Ui
