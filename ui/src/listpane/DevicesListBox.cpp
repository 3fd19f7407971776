#include "ui/listpane/DevicesListBox.h"

#include "ui/controls/DrawFrame.h"
#include "ui/controls/Spinner.h"

#include <store/Device.h>

#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace Tessaline::Ui {

namespace {

constexpr int kDeviceRole = Qt::UserRole + 1;
constexpr quintptr kNoDevice = 4;  // data values below this hold no device
constexpr unsigned kRemoveCommand = 1005;

// Hands every row's painting to the list box's DrawRow.
class CRowDelegate final : public QStyledItemDelegate {
public:
    explicit CRowDelegate(CDevicesListBox *list) : QStyledItemDelegate(list), m_list(list) {}

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        CDevice *device = m_list->DeviceAt(index.row());
        if (!device)
            return;
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        m_list->DrawRow(*painter, option.rect.normalized(), selected, device);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        (void)option;
        QVariant height = index.data(Qt::SizeHintRole);
        int h = height.isValid() ? height.toSize().height() : RowGeometry::kRowHeight;
        return QSize(m_list->viewport()->width(), h);
    }

private:
    CDevicesListBox *m_list;
};

}  // namespace

CDevicesListBox::CDevicesListBox(QWidget *parent)
    : QListWidget(parent), m_selectedBrush(QColor(0, 0, 160)), m_normalBrush(QColor(255, 255, 255))
{
    setItemDelegate(new CRowDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setResizeMode(QListView::Adjust);
    setSortingEnabled(false);
    setFrameShape(QFrame::StyledPanel);
    setAccessibleName(QStringLiteral("Devices"));
}

CDevicesListBox::~CDevicesListBox()
{
    RemoveAllRows();
}

int CDevicesListBox::AddDevice(CDevice *device)
{
    if (!device)
        return -1;
    auto *item = new QListWidgetItem(QString::fromStdString(device->GetDisplayName()));
    item->setSizeHint(QSize(0, RowGeometry::kRowHeight));
    device->AddRef();
    item->setData(kDeviceRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(device)));
    addItem(item);
    const int row = count() - 1;
    item->setData(Qt::AccessibleTextRole, AccessibleRowText(row));
    return row;
}

int CDevicesListBox::FindDevice(const CDevice *device) const
{
    for (int row = count() - 1; row >= 0; --row) {
        if (item(row)->data(kDeviceRole).value<quintptr>() == reinterpret_cast<quintptr>(device))
            return row;
    }
    return -1;
}

CDevice *CDevicesListBox::DeviceAt(int row) const
{
    const QListWidgetItem *it = item(row);
    if (!it)
        return nullptr;
    const quintptr data = it->data(kDeviceRole).value<quintptr>();
    return data < kNoDevice ? nullptr : reinterpret_cast<CDevice *>(data);
}

void CDevicesListBox::EmptyRow(int row)
{
    CDevice *device = DeviceAt(row);
    item(row)->setData(kDeviceRole, QVariant::fromValue<quintptr>(0));
    if (device)
        device->Release();
}

void CDevicesListBox::SetRowHeight(int row, int height)
{
    item(row)->setSizeHint(QSize(0, height));
}

void CDevicesListBox::StartRemoval(CDevice *device)
{
    const int row = FindDevice(device);
    if (row < 0)
        return;
    EmptyRow(row);
    item(row)->setData(Qt::AccessibleTextRole, QString());
    item(row)->setFlags(Qt::NoItemFlags);
    if (m_collapseHeight == 0) {
        m_collapseHeight = kCollapseStartHeight;
        SetTimer(kCollapseTimer, kCollapsePeriodMs);
    }
}

void CDevicesListBox::RemoveAllRows()
{
    KillTimer(kCollapseTimer);
    m_collapseHeight = 0;
    for (int row = 0; row < count(); ++row)
        EmptyRow(row);
    clear();
}

void CDevicesListBox::OnTimer(unsigned id)
{
    if (id != kCollapseTimer)
        return;
    if (m_collapseHeight <= 0) {
        KillTimer(kCollapseTimer);
        m_collapseHeight = 0;
        for (int row = count() - 1; row >= 0; --row) {
            if (!DeviceAt(row))
                delete takeItem(row);
        }
        return;
    }
    for (int row = 0; row < count(); ++row) {
        if (!DeviceAt(row))
            SetRowHeight(row, m_collapseHeight);
    }
    m_collapseHeight = NextCollapseHeight(m_collapseHeight);
    viewport()->update();
}

QString CDevicesListBox::AccessibleRowText(int row) const
{
    CDevice *device = DeviceAt(row);
    if (!device)
        return {};
    const RowStatus status = ChooseRowStatus(ReadRowState(*device));
    QString name = QString::fromStdString(device->GetDisplayName());
    if (name.isEmpty())
        name = QString::fromStdString(device->GetAddress());
    return name + QStringLiteral(", ") + QString::fromUtf8(status.text);
}

void CDevicesListBox::InvalidateRows()
{
    for (int row = 0; row < count(); ++row) {
        CDevice *device = DeviceAt(row);
        if (!device)
            continue;
        // setData leaves an unchanged value alone, so this costs no relayout.
        item(row)->setData(Qt::DisplayRole, QString::fromStdString(device->GetDisplayName()));
        item(row)->setData(Qt::AccessibleTextRole, AccessibleRowText(row));
    }
    viewport()->update();
}

void CDevicesListBox::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
        emit commandRequested(kRemoveCommand);
        return;
    }
    QListWidget::keyPressEvent(event);
}

void CDevicesListBox::DrawRow(QPainter &painter, const QRect &rect, bool selected, CDevice *device)
{
    using namespace RowGeometry;
    if (rect.isEmpty() || !device)
        return;

    const qreal ratio = devicePixelRatioF();
    QPixmap canvas(rect.size() * ratio);
    canvas.setDevicePixelRatio(ratio);
    {
        QPainter p(&canvas);
        p.fillRect(QRect(QPoint(0, 0), rect.size()), selected ? m_selectedBrush : m_normalBrush);
        const QColor mainColour = selected ? QColor(255, 255, 255) : QColor(0, 0, 0);
        const QColor secondColour = selected ? QColor(224, 224, 224) : QColor(128, 128, 128);

        const QRect thumb(kThumbLeft, kThumbTop, kThumbRight - kThumbLeft, kThumbBottom - kThumbTop);
        Ambry::Ref<CFrame> frame = device->GetFrame();
        if (frame)
            DrawFrame(p, thumb.left(), thumb.top(), thumb.left() + thumb.width(), thumb.top() + thumb.height(), frame.get());
        else if (device->IsBusy())
            DrawSpinnerCentered(thumb, p);

        if (!m_boldFont) {
            m_boldFont = font();
            m_boldFont->setWeight(QFont::Bold);
        }
        const QFontMetrics normalMetrics(font());
        const QFontMetrics boldMetrics(*m_boldFont);
        // Text positions name the top-left corner of the text, as the row layout does.
        auto text = [&p](const QFontMetrics &metrics, int x, int y, const QString &s) {
            p.drawText(x, y + metrics.ascent(), s);
        };

        p.setFont(*m_boldFont);
        p.setPen(mainColour);
        text(boldMetrics, kNameX, kNameY, QString::fromStdString(device->GetDisplayName()));

        p.setFont(font());
        p.setPen(secondColour);
        text(normalMetrics, kSerialLabelX, kSerialY, QStringLiteral("s/n:"));
        text(normalMetrics, kSerialX, kSerialY, QString::fromStdString(device->GetSerialNumber()));
        text(normalMetrics, kAddressLabelX, kAddressY, QStringLiteral("address:"));
        text(normalMetrics, kAddressX, kAddressY, QString::fromStdString(device->GetAddress()));

        const RowStatus status = ChooseRowStatus(ReadRowState(*device));
        m_lights.DrawCell(p, QPoint(kLightX, kLightY), QRect(kLightSize * status.light, 0, kLightSize, kLightSize));
        if (status.lock != RowLockNone)
            m_locks.DrawCell(p, QPoint(rect.width() - kLockFromRight, kLockY),
                             QRect(kLockPitch * status.lock, selected ? kLockSelectedRowY : 0, kLockWidth, kLockHeight));
        text(normalMetrics, kStatusX, kStatusY, QString::fromUtf8(status.text));
    }
    painter.drawPixmap(rect.topLeft(), canvas);
}

RowDeviceState ReadRowState(CDevice &device)
{
    RowDeviceState state;
    state.loginStatus = device.GetLoginStatus();
    state.hasConnection = device.HasConnection();
    state.connecting = device.IsConnecting();
    VideoMode mode;
    state.hasSignal = device.GetVideoMode(&mode) && mode.width != 0 && mode.height != 0;
    state.passwordEmpty = device.GetPassword().empty();
    return state;
}

}  // namespace Tessaline::Ui
