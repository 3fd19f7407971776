// The spinner control: while visible it repaints itself about every 100 ms with the
// frame the clock gives. A hidden control gets no paint and so stops by itself;
// showing it again starts the cycle again.
#pragma once

#include "ui/framework/Timer.h"

#include <QWidget>

namespace Tessaline::Ui {

class CProgressIndicatorCtrl : public QWidget, public CTimerHost {
    Q_OBJECT
public:
    explicit CProgressIndicatorCtrl(QWidget *parent = nullptr);

    void OnTimer(unsigned id) override;

    // Paints so far (tests watch the animation run and stop).
    int PaintCount() const { return m_paintCount; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_paintCount = 0;
};

}  // namespace Tessaline::Ui
