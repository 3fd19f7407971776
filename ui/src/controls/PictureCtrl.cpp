#include "ui/controls/PictureCtrl.h"

#include <QPainter>

namespace Tessaline::Ui {

CExPictureCtrl::CExPictureCtrl(QWidget *parent) : QWidget(parent)
{
    // Everything is painted here, in one pass.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool CExPictureCtrl::LoadImage(int id)
{
    const bool loaded = m_bitmap.Load(id);
    update();
    return loaded;
}

void CExPictureCtrl::SetSourceRect(int x, int y, int width, int height)
{
    m_source = QRect(x, y, width, height);
    update();
}

void CExPictureCtrl::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    m_bitmap.DrawCell(painter, QPoint(0, 0), m_source);
}

}  // namespace Tessaline::Ui
