// PNG images from the application's resources (":/png/<id>.png").
#pragma once

#include <QImage>

class QPainter;
class QPoint;
class QRect;

namespace Tessaline::Ui {

// Owns one decoded image, or none.
class CGdiPlusBitmap {
public:
    CGdiPlusBitmap() = default;
    CGdiPlusBitmap(const CGdiPlusBitmap &) = delete;
    CGdiPlusBitmap &operator=(const CGdiPlusBitmap &) = delete;
    virtual ~CGdiPlusBitmap() = default;

    bool IsLoaded() const { return !m_image.isNull(); }
    // The image (premultiplied ARGB), or a null image.
    const QImage &Image() const { return m_image; }

    // Copies the source rectangle 1:1 with its transparency so that its top-left
    // corner lands on `destination`. Draws nothing without an image.
    void DrawCell(QPainter &painter, const QPoint &destination, const QRect &source) const;

protected:
    QImage m_image;
};

// An image loaded from PNG resource `id`.
class CGdiPlusBitmapResource : public CGdiPlusBitmap {
public:
    CGdiPlusBitmapResource() = default;
    // Loads at once; check IsLoaded().
    explicit CGdiPlusBitmapResource(int id) { (void)Load(id); }

    // Drops the image held so far and loads resource `id`. A missing, empty or
    // undecodable resource fails and leaves the object without an image.
    [[nodiscard]] bool Load(int id);
};

}  // namespace Tessaline::Ui
