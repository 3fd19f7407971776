#include "ui/controls/ProgressIndicatorCtrl.h"

#include "ui/controls/Spinner.h"

#include <QPainter>

namespace Tessaline::Ui {

namespace {
constexpr unsigned kAnimationTimer = 0;
constexpr int kAnimationPeriodMs = 100;
}  // namespace

CProgressIndicatorCtrl::CProgressIndicatorCtrl(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Busy"));
}

void CProgressIndicatorCtrl::paintEvent(QPaintEvent *)
{
    ++m_paintCount;
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    DrawSpinnerFrame(painter, 0, 0);
    // The next frame is asked for by the timer; a hidden control is not painted and
    // so lets the cycle end.
    SetTimer(kAnimationTimer, kAnimationPeriodMs);
}

void CProgressIndicatorCtrl::OnTimer(unsigned id)
{
    KillTimer(id);
    if (id == kAnimationTimer)
        update();
}

}  // namespace Tessaline::Ui
