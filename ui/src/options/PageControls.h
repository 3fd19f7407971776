// Controls the page templates need beyond the standard kinds, and small helpers
// shared by the pages.
#pragma once

#include <ui/framework/DialogTemplate.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>
#include <QWidget>

#include <initializer_list>
#include <span>

class QToolButton;

namespace Tessaline::Ui {

// An up-down control: two arrow buttons stepping an integer position within a range.
class CUpDown final : public QWidget {
    Q_OBJECT
public:
    explicit CUpDown(QWidget *parent = nullptr);
    void SetRange(int minimum, int maximum);
    // Sets the position (kept within the range) without notifying.
    void SetPosition(int position);
    int Position() const { return m_position; }
    int Minimum() const { return m_minimum; }
    int Maximum() const { return m_maximum; }
    // Moves by `steps` as a click on an arrow does, notifying when it moved.
    void Step(int steps);
    QToolButton *UpButton() const { return m_up; }
    QToolButton *DownButton() const { return m_down; }

signals:
    void positionChanged(int position);

private:
    QToolButton *m_up;
    QToolButton *m_down;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
};

// Which custom control a template entry asks for, by the tag in its caption.
inline constexpr const char *TRACKBAR_TAG = "#trackbar";
inline constexpr const char *COMBO_TAG = "#combo";
inline constexpr const char *UPDOWN_TAG = "#updown";
// Makes trackbars, drop-down lists and up-downs for Custom entries.
QWidget *MakePageControl(const ControlTemplate &entry, QWidget *parent);

// Typed access to a page's controls.
template <class T>
T *PageItem(const QWidget *page, int id)
{
    return qobject_cast<T *>(GetDlgItem(page, id));
}
inline bool IsChecked(const QWidget *page, int id)
{
    auto *box = PageItem<QCheckBox>(page, id);
    return box && box->isChecked();
}
inline void SetChecked(const QWidget *page, int id, bool on)
{
    if (auto *box = PageItem<QCheckBox>(page, id))
        box->setChecked(on);
}
// Enables (or disables) each control in the list.
void EnableItems(const QWidget *page, std::span<const int> ids, bool enable);
inline void EnableItems(const QWidget *page, std::initializer_list<int> ids, bool enable)
{
    EnableItems(page, std::span<const int>(ids.begin(), ids.size()), enable);
}
// Shows (or hides) each control in the list.
void ShowItems(const QWidget *page, std::initializer_list<int> ids, bool show);
// Sets an edit's text only when it differs (no needless change notifications).
void SetTextIfChanged(const QWidget *page, int id, const QString &text);

}  // namespace Tessaline::Ui
