#include "ui/properties/DevicePropertiesView.h"

#include "ui/controls/AnchorLayout.h"
#include "ui/controls/DrawFrame.h"
#include "ui/controls/Spinner.h"
#include "ui/framework/Command.h"
#include "ui/framework/DialogTemplate.h"

#include <deviceio/Frame.h>
#include <store/Device.h>

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include <array>

namespace Tessaline::Ui {

namespace {

constexpr int kPreviewGroupId = 1008;
constexpr int kPreviewId = 1003;
constexpr int kModeId = 1007;
constexpr int kRefreshId = 1012;
constexpr int kPropertiesGroupId = 1009;
constexpr int kNameLabelId = 1010;
constexpr int kNameId = 1000;
constexpr int kAddressLabelId = 1011;
constexpr int kAddressId = 1001;
constexpr int kPasswordLabelId = 1036;
constexpr int kPasswordId = 1035;
constexpr int kAdvancedId = 1002;
constexpr int kWebConfigId = 1025;

const std::array<ControlTemplate, 13> kViewControls{{
    {kPreviewGroupId, ControlKind::GroupBox, "Stream preview", 7, 4, 221, 135},
    {kPreviewId, ControlKind::Custom, "", 23, 20, 188, 76, CS_NONE, "Preview"},
    {kModeId, ControlKind::Static, "...", 23, 104, 187, 8, CS_CENTER, "Video mode"},
    {kRefreshId, ControlKind::PushButton, "Refresh", 92, 119, 50, 14, CS_DISABLED},
    {kPropertiesGroupId, ControlKind::GroupBox, "Stream properties", 7, 143, 221, 95},
    {kNameLabelId, ControlKind::Static, "Name:", 10, 159, 37, 8},
    {kNameId, ControlKind::Edit, "", 54, 157, 165, 14, CS_DISABLED | CS_AUTOHSCROLL},
    {kAddressLabelId, ControlKind::Static, "Address:", 10, 179, 37, 8},
    {kAddressId, ControlKind::Edit, "", 54, 177, 165, 14, CS_DISABLED | CS_AUTOHSCROLL},
    {kPasswordLabelId, ControlKind::Static, "Password:", 10, 199, 37, 8},
    {kPasswordId, ControlKind::Edit, "", 54, 197, 80, 14, CS_PASSWORD | CS_AUTOHSCROLL},
    {kAdvancedId, ControlKind::PushButton, "Advanced...", 106, 217, 53, 14, CS_DISABLED},
    {kWebConfigId, ControlKind::PushButton, "Web config...", 165, 217, 53, 14},
}};

const DialogTemplate kViewTemplate{CDevicePropertiesView::kTemplateId, nullptr, 235, 242, kViewControls};

const LayoutRule kViewLayout[] = {
    {kPropertiesGroupId, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 7},
    {kPropertiesGroupId, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 7},
    {kPropertiesGroupId, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kWebConfigId, EDGE_RIGHT, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 7},
    {kWebConfigId, EDGE_BOTTOM, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 4},
    {kAdvancedId, EDGE_RIGHT, kWebConfigId, LAYOUT_BESIDE, 0, 4},
    {kAdvancedId, EDGE_BOTTOM, kWebConfigId, LAYOUT_ALIGNED, 0, 0},
    {kPasswordLabelId, EDGE_TOP, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 56},
    {kPasswordId, EDGE_TOP, kPasswordLabelId, LAYOUT_ALIGNED, 0, -2},
    {kPasswordId, EDGE_LEFT, kPasswordLabelId, LAYOUT_BESIDE, 0, 7},
    {kAddressLabelId, EDGE_TOP, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 36},
    {kAddressId, EDGE_TOP, kAddressLabelId, LAYOUT_ALIGNED, 0, -2},
    {kAddressId, EDGE_RIGHT, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 7},
    {kAddressId, EDGE_LEFT, kAddressLabelId, LAYOUT_BESIDE, 0, 7},
    {kNameLabelId, EDGE_TOP, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 16},
    {kNameId, EDGE_TOP, kNameLabelId, LAYOUT_ALIGNED, 0, -2},
    {kNameId, EDGE_RIGHT, kPropertiesGroupId, LAYOUT_ALIGNED, 0, 7},
    {kNameId, EDGE_LEFT, kNameLabelId, LAYOUT_BESIDE, 0, 7},
    {kPreviewGroupId, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 7},
    {kPreviewGroupId, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 7},
    {kPreviewGroupId, EDGE_TOP, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kPreviewGroupId, EDGE_BOTTOM, kPropertiesGroupId, LAYOUT_BESIDE, 0, 4},
    {kRefreshId, EDGE_LEFT, 100, LAYOUT_FRACTION, 50, -25},
    {kRefreshId, EDGE_BOTTOM, kPreviewGroupId, LAYOUT_ALIGNED, 0, 4},
    {kModeId, EDGE_LEFT, kPreviewGroupId, LAYOUT_ALIGNED, 0, 7},
    {kModeId, EDGE_RIGHT, kPreviewGroupId, LAYOUT_ALIGNED, 0, 7},
    {kModeId, EDGE_BOTTOM, kRefreshId, LAYOUT_BESIDE, 0, 4},
    {kPreviewId, EDGE_TOP, kPreviewGroupId, LAYOUT_ALIGNED, 0, 16},
    {kPreviewId, EDGE_LEFT, kPreviewGroupId, LAYOUT_ALIGNED, 0, 7},
    {kPreviewId, EDGE_RIGHT, kPreviewGroupId, LAYOUT_ALIGNED, 0, 7},
    {kPreviewId, EDGE_BOTTOM, kModeId, LAYOUT_BESIDE, 0, 4},
    {0, 0, 0, 0, 0, 0},
};

// Writes text into an edit only when it differs, so typing is not disturbed.
void SetEditText(QLineEdit *edit, const QString &text)
{
    if (edit->text() != text)
        edit->setText(text);
}

}  // namespace

// ---- preview ----

CDevicePreviewCtrl::CDevicePreviewCtrl(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Preview"));
}

CDevicePreviewCtrl::~CDevicePreviewCtrl() = default;

void CDevicePreviewCtrl::SetFrame(CFrame *frame)
{
    if (frame == m_frame.get())
        return;
    m_frame = Ambry::Ref<CFrame>::Retain(frame);
    if (frame)
        m_waiting = false;
    update();
}

void CDevicePreviewCtrl::OnTimer(unsigned id)
{
    if (id != kSpinnerTimer)
        return;
    KillTimer(kSpinnerTimer);
    update();
}

void CDevicePreviewCtrl::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_canvas = QPixmap();
}

void CDevicePreviewCtrl::paintEvent(QPaintEvent *event)
{
    (void)event;
    const qreal ratio = devicePixelRatioF();
    if (m_canvas.isNull() || m_canvas.size() != size() * ratio) {
        m_canvas = QPixmap(size() * ratio);
        m_canvas.setDevicePixelRatio(ratio);
    }
    {
        QPainter p(&m_canvas);
        p.fillRect(rect(), palette().color(QPalette::Button));
        if (m_frame) {
            DrawFrame(p, 0, 0, width(), height(), m_frame.get());
        } else if (m_waiting) {
            DrawSpinnerCentered(rect(), p);
            SetTimer(kSpinnerTimer, kSpinnerPeriodMs);
        }
    }
    QPainter screen(this);
    screen.drawPixmap(0, 0, m_canvas);
}

// ---- view ----

CDevicePropertiesView::CDevicePropertiesView(QWidget *parent) : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Device properties pane"));
    InstantiateTemplate(this, kViewTemplate, [this](const ControlTemplate &entry, QWidget *owner) -> QWidget * {
        if (entry.id != kPreviewId)
            return nullptr;
        m_preview = new CDevicePreviewCtrl(owner);
        return m_preview;
    });
    m_mode = qobject_cast<QLabel *>(GetDlgItem(this, kModeId));
    m_name = qobject_cast<QLineEdit *>(GetDlgItem(this, kNameId));
    m_address = qobject_cast<QLineEdit *>(GetDlgItem(this, kAddressId));
    m_password = qobject_cast<QLineEdit *>(GetDlgItem(this, kPasswordId));
    m_refresh = qobject_cast<QPushButton *>(GetDlgItem(this, kRefreshId));
    m_advanced = qobject_cast<QPushButton *>(GetDlgItem(this, kAdvancedId));
    m_webConfig = qobject_cast<QPushButton *>(GetDlgItem(this, kWebConfigId));

    connect(m_name, &QLineEdit::textChanged, this, [this] { OnNameChanged(); });
    connect(m_address, &QLineEdit::textChanged, this, [this] { OnAddressChanged(); });
    connect(m_password, &QLineEdit::textChanged, this, [this] { OnPasswordChanged(); });
    connect(m_refresh, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_REFRESH); });
    connect(m_advanced, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_ADVANCED); });
    connect(m_webConfig, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_WEBCONFIG); });
}

CDevicePropertiesView::~CDevicePropertiesView() = default;

void CDevicePropertiesView::Layout()
{
    ApplyLayout(this, kViewLayout);
}

void CDevicePropertiesView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CDevicePropertiesView::SendCommand(unsigned id)
{
    if (CDeviceDocument *doc = Document())
        doc->RouteCommand(id);
}

void CDevicePropertiesView::OnInitialUpdate()
{
    CView::OnInitialUpdate();
    Layout();
}

void CDevicePropertiesView::OnUpdate(CView *sender, long hint, void *object)
{
    (void)sender;
    (void)object;
    if (hint == 0) {
        m_initialised = true;
        RefreshFromDevice();
    } else if (hint == HINT_CURRENT_DEVICE && m_initialised) {
        RefreshFromDevice();
    }
}

void CDevicePropertiesView::RefreshFromDevice()
{
    m_updating = true;
    CDeviceDocument *doc = Document();
    CDevice *device = doc ? doc->CurrentDevice() : nullptr;
    if (device) {
        Ambry::Ref<CFrame> frame = device->GetFrame();
        if (frame) {
            m_preview->SetFrame(frame.get());
        } else {
            m_preview->SetWaiting(device->IsBusy());
            m_preview->SetFrame(nullptr);
            m_preview->update();
        }
        SetEditText(m_name, QString::fromStdString(device->GetDisplayName()));
        SetEditText(m_address, QString::fromStdString(device->GetAddress()));
        if (!device->HasConnection() || device->IsPasswordRequired()) {
            SetEditText(m_password, QString::fromStdString(device->GetPassword()));
            m_password->setEnabled(true);
        } else {
            m_password->clear();
            m_password->setEnabled(false);
        }
        VideoMode mode;
        if (device->GetVideoMode(&mode) && mode.width != 0 && mode.height != 0)
            m_mode->setText(QString::fromStdString(FormatVideoMode(mode)));
        else
            m_mode->clear();
    } else {
        m_name->clear();
        m_address->clear();
        m_password->clear();
        m_password->setEnabled(false);
        m_mode->clear();
        m_preview->SetFrame(nullptr);
        m_preview->SetWaiting(false);
        m_preview->update();
    }
    const bool enabled = device != nullptr;
    m_name->setEnabled(enabled);
    m_address->setEnabled(enabled);
    m_refresh->setEnabled(enabled);
    m_advanced->setEnabled(enabled);
    m_webConfig->setEnabled(enabled);
    m_updating = false;
}

void CDevicePropertiesView::OnNameChanged()
{
    if (m_updating)
        return;
    CDeviceDocument *doc = Document();
    if (CDevice *device = doc ? doc->CurrentDevice() : nullptr) {
        device->SetName(m_name->text().toStdString().c_str());
        doc->SaveDeviceList();
    }
}

void CDevicePropertiesView::OnAddressChanged()
{
    if (m_updating)
        return;
    CDeviceDocument *doc = Document();
    if (CDevice *device = doc ? doc->CurrentDevice() : nullptr) {
        device->SetAddress(m_address->text().toStdString().c_str());
        doc->SaveDeviceList();
    }
    SetTimer(kRequestTimer, kRequestDelayMs);
}

void CDevicePropertiesView::OnPasswordChanged()
{
    if (m_updating)
        return;
    CDeviceDocument *doc = Document();
    if (CDevice *device = doc ? doc->CurrentDevice() : nullptr) {
        device->SetPassword(m_password->text().toStdString().c_str());
        doc->SaveDeviceList();
    }
    SetTimer(kRequestTimer, kRequestDelayMs);
}

void CDevicePropertiesView::OnTimer(unsigned id)
{
    KillTimer(id);
    if (id != kRequestTimer)
        return;
    CDeviceDocument *doc = Document();
    if (CDevice *device = doc ? doc->CurrentDevice() : nullptr)
        device->RequestFrame(false);
}

}  // namespace Tessaline::Ui
