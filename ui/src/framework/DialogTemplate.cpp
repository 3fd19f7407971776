#include "ui/framework/DialogTemplate.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <cstdlib>

namespace Tessaline::Ui {

namespace {
constexpr const char *kControlIdProperty = "tessalineControlId";

Qt::Alignment TextAlignment(unsigned styles)
{
    if (styles & CS_RIGHT)
        return Qt::AlignRight | Qt::AlignVCenter;
    if (styles & CS_CENTER)
        return Qt::AlignHCenter | Qt::AlignVCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

// A one-line label whose text is wider than its place (fonts differ from the ones
// the template was measured with) grows away from its aligned edge, never past the
// parent's left edge, so that no text is cut off.
QRect FitLabel(const QLabel *label, QRect geometry, unsigned styles)
{
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin() + 2;
    if (needed <= geometry.width())
        return geometry;
    const int extra = needed - geometry.width();
    if (styles & CS_RIGHT) {
        const int grow = std::min(extra, geometry.left());
        geometry.setLeft(geometry.left() - grow);
    } else if (styles & CS_CENTER) {
        const int grow = std::min(extra / 2, geometry.left());
        geometry.adjust(-grow, 0, extra - grow, 0);
    } else {
        geometry.setWidth(needed);
    }
    return geometry;
}

QWidget *MakeStandardControl(const ControlTemplate &entry, QWidget *parent)
{
    const QString caption = QString::fromUtf8(entry.caption ? entry.caption : "");
    switch (entry.kind) {
    case ControlKind::Static: {
        auto *label = new QLabel(caption, parent);
        label->setAlignment(TextAlignment(entry.styles) | Qt::AlignTop);
        label->setWordWrap(entry.height > 10);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::Edit: {
        auto *edit = new QLineEdit(caption, parent);
        if (entry.styles & CS_PASSWORD)
            edit->setEchoMode(QLineEdit::Password);
        return edit;
    }
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto *button = new QPushButton(caption, parent);
        if (entry.kind == ControlKind::DefPushButton) {
            button->setDefault(true);
            button->setAutoDefault(true);
        }
        return button;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(caption, parent);
    case ControlKind::ListBox: {
        auto *list = new QListWidget(parent);
        list->setVerticalScrollBarPolicy((entry.styles & CS_VSCROLL) ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
        list->setFrameShape((entry.styles & CS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
        return list;
    }
    case ControlKind::CheckBox:
        return new QCheckBox(caption, parent);
    case ControlKind::Custom:
        return nullptr;
    }
    return nullptr;
}
}  // namespace

int MulDiv(int number, int numerator, int denominator)
{
    if (denominator == 0)
        return -1;
    const int64_t product = static_cast<int64_t>(number) * numerator;
    int64_t quotient = product / denominator;
    const int64_t remainder = product % denominator;
    // Round half away from zero.
    if (std::llabs(remainder) * 2 >= std::llabs(static_cast<int64_t>(denominator)))
        quotient += ((product < 0) != (denominator < 0)) ? -1 : 1;
    return static_cast<int>(quotient);
}

DialogBaseUnits BaseUnitsForFont(const QFont &font)
{
    const QFontMetrics metrics(font);
    static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int total = metrics.horizontalAdvance(letters);
    DialogBaseUnits base;
    base.x = std::max(1, (total + 26) / 52);
    base.y = std::max(1, metrics.height());
    return base;
}

DialogBaseUnits BaseUnitsFor(const QWidget *widget)
{
    return BaseUnitsForFont(widget ? widget->font() : QFont());
}

QRect MapDialogRect(const QRect &du, DialogBaseUnits base)
{
    const int left = MulDiv(du.x(), base.x, 4);
    const int top = MulDiv(du.y(), base.y, 8);
    const int right = MulDiv(du.x() + du.width(), base.x, 4);
    const int bottom = MulDiv(du.y() + du.height(), base.y, 8);
    return QRect(QPoint(left, top), QSize(right - left, bottom - top));
}

QRect MapDialogRect(const QWidget *widget, const QRect &dialogUnits)
{
    return MapDialogRect(dialogUnits, BaseUnitsFor(widget));
}

QString PlainCaption(const QString &caption)
{
    QString plain;
    plain.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&') {
            if (i + 1 < caption.size() && caption[i + 1] == u'&')
                plain += u'&', ++i;
            continue;
        }
        plain += caption[i];
    }
    plain = plain.trimmed();
    while (plain.endsWith(u':'))
        plain.chop(1);
    return plain;
}

bool InstantiateTemplate(QWidget *parent, const DialogTemplate &dialog, const ControlFactory &factory)
{
    if (!parent)
        return false;
    const DialogBaseUnits base = BaseUnitsFor(parent);
    bool complete = true;
    QString lastLabel;
    for (const ControlTemplate &entry : dialog.controls) {
        QWidget *control = factory ? factory(entry, parent) : nullptr;
        if (!control)
            control = MakeStandardControl(entry, parent);
        if (!control) {
            complete = false;
            continue;
        }
        if (control->parentWidget() != parent)
            control->setParent(parent);
        SetControlId(control, entry.id);
        if (entry.id >= 0)
            control->setObjectName(QStringLiteral("ctrl%1").arg(entry.id));
        QRect geometry = MapDialogRect(QRect(entry.x, entry.y, entry.width, entry.height), base);
        if (auto *label = qobject_cast<QLabel *>(control); label && !label->wordWrap())
            geometry = FitLabel(label, geometry, entry.styles);
        control->setGeometry(geometry);

        const QString caption = PlainCaption(QString::fromUtf8(entry.caption ? entry.caption : ""));
        QString name = entry.accessibleName ? QString::fromUtf8(entry.accessibleName) : QString();
        if (!name.isEmpty()) {
            control->setAccessibleName(name);
        } else {
            // An edit or list is named by the label just before it; everything else by
            // its own caption.
            const bool labelled = entry.kind == ControlKind::Edit || entry.kind == ControlKind::ListBox ||
                                  entry.kind == ControlKind::Custom;
            name = (labelled && !lastLabel.isEmpty()) ? lastLabel : caption;
        }
        if (!name.isEmpty() && control->accessibleName().isEmpty())
            control->setAccessibleName(name);
        if (entry.kind == ControlKind::Static && !caption.isEmpty())
            lastLabel = caption;
        else if (entry.kind != ControlKind::Static)
            lastLabel.clear();

        if (entry.styles & CS_DISABLED)
            control->setEnabled(false);
        if (entry.styles & CS_NOTABSTOP)
            control->setFocusPolicy(Qt::NoFocus);
        control->setVisible(!(entry.styles & CS_HIDDEN));
    }
    const QRect size = MapDialogRect(QRect(0, 0, dialog.width, dialog.height), base);
    parent->resize(size.size());
    if (dialog.caption && parent->isWindow())
        parent->setWindowTitle(QString::fromUtf8(dialog.caption));
    return complete;
}

QWidget *GetDlgItem(const QWidget *parent, int id)
{
    if (!parent)
        return nullptr;
    for (QObject *child : parent->children()) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (widget && ControlId(widget) == id)
            return widget;
    }
    return nullptr;
}

int ControlId(const QWidget *control)
{
    if (!control)
        return -1;
    const QVariant id = control->property(kControlIdProperty);
    return id.isValid() ? id.toInt() : -1;
}

void SetControlId(QWidget *control, int id)
{
    if (control)
        control->setProperty(kControlIdProperty, id);
}

}  // namespace Tessaline::Ui
