#include "PageControls.h"

#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

namespace Tessaline::Ui {

CUpDown::CUpDown(QWidget *parent) : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    for (QToolButton *button : {m_up, m_down}) {
        button->setAutoRepeat(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(button);
    }
    m_up->setAccessibleName(QStringLiteral("Up"));
    m_down->setAccessibleName(QStringLiteral("Down"));
    connect(m_up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CUpDown::SetRange(int minimum, int maximum)
{
    m_minimum = std::min(minimum, maximum);
    m_maximum = std::max(minimum, maximum);
    m_position = std::clamp(m_position, m_minimum, m_maximum);
}

void CUpDown::SetPosition(int position)
{
    m_position = std::clamp(position, m_minimum, m_maximum);
}

void CUpDown::Step(int steps)
{
    const int next = std::clamp(m_position + steps, m_minimum, m_maximum);
    if (next == m_position)
        return;
    m_position = next;
    emit positionChanged(m_position);
}

QWidget *MakePageControl(const ControlTemplate &entry, QWidget *parent)
{
    if (entry.kind != ControlKind::Custom || !entry.caption)
        return nullptr;
    if (std::strcmp(entry.caption, TRACKBAR_TAG) == 0) {
        auto *slider = new QSlider(Qt::Horizontal, parent);
        slider->setTickPosition(QSlider::TicksBelow);
        return slider;
    }
    if (std::strcmp(entry.caption, COMBO_TAG) == 0)
        return new QComboBox(parent);
    if (std::strcmp(entry.caption, UPDOWN_TAG) == 0)
        return new CUpDown(parent);
    return nullptr;
}

void EnableItems(const QWidget *page, std::span<const int> ids, bool enable)
{
    for (int id : ids) {
        if (QWidget *item = GetDlgItem(page, id))
            item->setEnabled(enable);
    }
}

void ShowItems(const QWidget *page, std::initializer_list<int> ids, bool show)
{
    for (int id : ids) {
        if (QWidget *item = GetDlgItem(page, id))
            item->setVisible(show);
    }
}

void SetTextIfChanged(const QWidget *page, int id, const QString &text)
{
    if (auto *edit = PageItem<QLineEdit>(page, id); edit && edit->text() != text)
        edit->setText(text);
}

}  // namespace Tessaline::Ui
