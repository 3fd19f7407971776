// Message boxes, file dialogs and modal dialogs, behind a seam that tests answer.
//
// Code asks through MessageBox / GetOpenFileName / GetSaveFileName / RunModal. With no
// responder installed the real Qt dialogs run. A test installs a CPromptResponder
// (CScopedPromptResponder) that sees every question and gives the answer.
#pragma once

#include <QString>

#include <optional>

class QDialog;
class QWidget;

namespace Tessaline::Ui {

// Buttons and icon of a message box (the values of the system's message box flags).
enum MessageBoxType : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONINFORMATION = 0x40,
};

// What a message box answers.
enum MessageBoxResult : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7,
};

class CPromptResponder {
public:
    virtual ~CPromptResponder() = default;
    // The answer to a message box.
    virtual int OnMessageBox(QWidget *parent, const QString &text, unsigned type) = 0;
    // The answer to a message box with a title of its own; by default answered like
    // any other message box.
    virtual int OnTitledMessageBox(QWidget *parent, const QString &text, const QString &title, unsigned type)
    {
        (void)title;
        return OnMessageBox(parent, text, type);
    }
    // The chosen file, or nothing for a cancelled dialog.
    virtual std::optional<QString> OnFileDialog(QWidget *parent, bool save, const QString &caption,
                                                const QString &directory, const QString &filter)
    {
        (void)parent, (void)save, (void)caption, (void)directory, (void)filter;
        return std::nullopt;
    }
    // A modal dialog about to run: return its result to skip the real modal loop (the
    // responder may drive the dialog's widgets first), or nothing to run it normally.
    virtual std::optional<int> OnModalDialog(QDialog *dialog)
    {
        (void)dialog;
        return std::nullopt;
    }
};

// Installs a responder for the whole process (nullptr restores the real dialogs);
// returns the previous one.
CPromptResponder *SetPromptResponder(CPromptResponder *responder);

class CScopedPromptResponder {
public:
    explicit CScopedPromptResponder(CPromptResponder *responder) : m_previous(SetPromptResponder(responder)) {}
    ~CScopedPromptResponder() { SetPromptResponder(m_previous); }
    CScopedPromptResponder(const CScopedPromptResponder &) = delete;
    CScopedPromptResponder &operator=(const CScopedPromptResponder &) = delete;

private:
    CPromptResponder *m_previous;
};

// A message box with the application's title; returns one of MessageBoxResult.
int MessageBox(QWidget *parent, const QString &text, unsigned type = MB_OK);
// The same under the given title (the application's title when it is empty).
int MessageBox(QWidget *parent, const QString &text, const QString &title, unsigned type);

// File dialogs: the chosen path, or nothing when cancelled.
std::optional<QString> GetOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                                       const QString &filter);
std::optional<QString> GetSaveFileName(QWidget *parent, const QString &caption, const QString &directory,
                                       const QString &filter);

// Runs a dialog modally (QDialog::exec) unless the responder answers for it.
int RunModal(QDialog *dialog);

}  // namespace Tessaline::Ui
