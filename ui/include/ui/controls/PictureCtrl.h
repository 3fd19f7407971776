// A static control that shows one cell of a PNG image (the status light of the
// add-device dialog): the owner loads the image, picks the source rectangle and
// shows or hides the control.
#pragma once

#include "ui/controls/Bitmap.h"

#include <QRect>
#include <QWidget>

namespace Tessaline::Ui {

class CExPictureCtrl : public QWidget {
    Q_OBJECT
public:
    explicit CExPictureCtrl(QWidget *parent = nullptr);

    // Loads PNG resource `id` into the control's image; false leaves it without one.
    bool LoadImage(int id);
    // The part of the image shown at the control's top-left corner, 1:1.
    void SetSourceRect(int x, int y, int width, int height);
    QRect SourceRect() const { return m_source; }
    const CGdiPlusBitmapResource &Bitmap() const { return m_bitmap; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    CGdiPlusBitmapResource m_bitmap;
    QRect m_source;
};

}  // namespace Tessaline::Ui
