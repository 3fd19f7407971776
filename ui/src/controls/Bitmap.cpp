#include "ui/controls/Bitmap.h"

#include <resources/Resources.h>

#include <QFile>
#include <QPainter>

namespace Tessaline::Ui {

void CGdiPlusBitmap::DrawCell(QPainter &painter, const QPoint &destination, const QRect &source) const
{
    if (m_image.isNull() || source.isEmpty())
        return;
    painter.drawImage(destination, m_image, source);
}

bool CGdiPlusBitmapResource::Load(int id)
{
    m_image = QImage();
    QFile file(Resources::PngPath(id));
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return false;
    const QByteArray bytes = file.readAll();
    if (bytes.isEmpty())
        return false;
    QImage decoded;
    if (!decoded.loadFromData(bytes, "PNG") || decoded.isNull())
        return false;
    m_image = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return !m_image.isNull();
}

}  // namespace Tessaline::Ui
