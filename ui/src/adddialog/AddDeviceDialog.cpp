#include "ui/adddialog/AddDeviceDialog.h"

#include "ui/controls/AnchorLayout.h"
#include "ui/controls/PictureCtrl.h"
#include "ui/controls/ProgressIndicatorCtrl.h"
#include "ui/framework/DeviceNotify.h"

#include <deviceio/DeviceIO.h>
#include <store/Device.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <array>
#include <cstdlib>
#include <utility>

namespace Tessaline::Ui {

namespace {

constexpr int kLightPng = 144;
constexpr int kLightCell = 12;
constexpr int kStatusDelayMs = 1000;
constexpr int kHeightStepMs = 10;

constexpr std::array<ControlTemplate, 11> kControls = {{
    {-1, ControlKind::Static, "Name:", 11, 9, 29, 8, CS_RIGHT},
    {IDC_ADD_NAME, ControlKind::Edit, "", 45, 7, 227, 14, CS_AUTOHSCROLL},
    {-1, ControlKind::Static, "Address:", 7, 29, 33, 8, CS_RIGHT},
    {IDC_ADD_ADDRESS, ControlKind::Edit, "", 45, 27, 227, 14, CS_AUTOHSCROLL},
    {IDC_ADD_PASSWORD_LABEL, ControlKind::Static, "Password:", 7, 50, 33, 8, CS_RIGHT | CS_HIDDEN},
    {IDC_ADD_PASSWORD, ControlKind::Edit, "", 45, 48, 108, 14, CS_HIDDEN | CS_PASSWORD | CS_AUTOHSCROLL},
    {IDC_ADD_SPINNER, ControlKind::Custom, "", 29, 48, 14, 13, CS_HIDDEN | CS_NOTABSTOP, "Searching"},
    {IDC_ADD_STATUS, ControlKind::Static, "Tessaline at localhost found, but is in undefined state", 45, 50, 227,
     18, CS_NONE, "Status"},
    {IDC_ADD_LIGHT, ControlKind::Custom, "", 33, 51, 12, 13, CS_HIDDEN | CS_NOTABSTOP, "Status light"},
    {IDC_ADD_OK, ControlKind::DefPushButton, "Add", 168, 71, 50, 14},
    {IDC_ADD_CANCEL, ControlKind::PushButton, "Cancel", 222, 71, 50, 14},
}};

constexpr DialogTemplate kTemplate = {IDD_ADD_DEVICE, "Add new device", 279, 92, kControls};

constexpr LayoutRule kLayout[] = {
    {IDC_ADD_OK, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 6},
    {IDC_ADD_CANCEL, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 6},
    {IDC_ADD_SPINNER, EDGE_TOP, 0, LAYOUT_PARENT_OPPOSITE, 0, 43},
    {IDC_ADD_LIGHT, EDGE_TOP, 0, LAYOUT_PARENT_OPPOSITE, 0, 40},
    {IDC_ADD_STATUS, EDGE_TOP, 0, LAYOUT_PARENT_OPPOSITE, 0, 41},
    {0, 0, 0, LAYOUT_END, 0, 0},
};

const char *LightName(int light)
{
    switch (light) {
    case LIGHT_GREEN:
        return "green";
    case LIGHT_YELLOW:
        return "yellow";
    default:
        return "red";
    }
}

}  // namespace

const DialogTemplate &AddDeviceTemplate()
{
    return kTemplate;
}

const LayoutRule *AddDeviceLayout()
{
    return kLayout;
}

AddDeviceStatus ChooseAddDeviceStatus(int32_t login, bool signal, bool passwordEmpty, const std::string &model,
                                      const std::string &serial)
{
    switch (login) {
    case LoginOpen:
    case LoginAccepted:
        if (signal)
            return {model + " s/n " + serial + " is found and working fine", LIGHT_GREEN};
        return {model + " s/n " + serial + " is found, no signal detected", LIGHT_YELLOW};
    case LoginDenied:
    case LoginGaveUp:
        if (passwordEmpty)
            return {"Access denied, password needed", LIGHT_RED};
        return {"Login failed", LIGHT_RED};
    default:
        return {"Login error", LIGHT_RED};
    }
}

int HeightAnimationStep(int current, int target)
{
    const int d = target - current;
    if (std::abs(d) < 5)
        return d;
    return d / 2;
}

std::unique_ptr<CAddDeviceDialog> CAddDeviceDialog::Create(QWidget *parent)
{
    Ambry::Ref<CDevice> device = CDevice::CreateNew();
    if (!device)
        return nullptr;
    return std::unique_ptr<CAddDeviceDialog>(new CAddDeviceDialog(parent, std::move(device)));
}

CAddDeviceDialog::CAddDeviceDialog(QWidget *parent, Ambry::Ref<CDevice> device)
    : QDialog(parent), m_device(std::move(device))
{
    m_notify = new CDeviceNotifyTarget(this);
    m_notify->SetNotifyHandler([this](uint32_t bits, CDevice *) { OnDeviceNotify(bits); });

    InstantiateTemplate(this, kTemplate, [](const ControlTemplate &entry, QWidget *parent) -> QWidget * {
        if (entry.id == IDC_ADD_SPINNER)
            return new CProgressIndicatorCtrl(parent);
        if (entry.id == IDC_ADD_LIGHT)
            return new CExPictureCtrl(parent);
        return nullptr;
    });
    m_name = qobject_cast<QLineEdit *>(GetDlgItem(this, IDC_ADD_NAME));
    m_address = qobject_cast<QLineEdit *>(GetDlgItem(this, IDC_ADD_ADDRESS));
    m_password = qobject_cast<QLineEdit *>(GetDlgItem(this, IDC_ADD_PASSWORD));
    m_passwordLabel = qobject_cast<QLabel *>(GetDlgItem(this, IDC_ADD_PASSWORD_LABEL));
    m_status = qobject_cast<QLabel *>(GetDlgItem(this, IDC_ADD_STATUS));
    m_spinner = qobject_cast<CProgressIndicatorCtrl *>(GetDlgItem(this, IDC_ADD_SPINNER));
    m_light = qobject_cast<CExPictureCtrl *>(GetDlgItem(this, IDC_ADD_LIGHT));
    setFixedSize(size());

    connect(m_name, &QLineEdit::textChanged, this, &CAddDeviceDialog::OnNameChanged);
    connect(m_address, &QLineEdit::textChanged, this, &CAddDeviceDialog::OnAddressChanged);
    connect(m_password, &QLineEdit::textChanged, this, &CAddDeviceDialog::OnPasswordChanged);
    if (auto *ok = qobject_cast<QPushButton *>(GetDlgItem(this, IDC_ADD_OK)))
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    if (auto *cancel = qobject_cast<QPushButton *>(GetDlgItem(this, IDC_ADD_CANCEL)))
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

CAddDeviceDialog::~CAddDeviceDialog()
{
    Detach();
}

void CAddDeviceDialog::Detach()
{
    // Only our own attachment is undone: once the caller has put the device into the
    // list it belongs to the list's window.
    if (m_device && m_device->AttachedWindow() == m_notify)
        m_device->AttachWindow(nullptr);
}

void CAddDeviceDialog::done(int result)
{
    KillTimer(ADD_TIMER_STATUS);
    KillTimer(ADD_TIMER_HEIGHT);
    Detach();
    m_opened = false;
    QDialog::done(result);
}

void CAddDeviceDialog::showEvent(QShowEvent *event)
{
    if (!m_opened)
        InitDialog();
    QDialog::showEvent(event);
}

void CAddDeviceDialog::InitDialog()
{
    m_opened = true;
    if (!m_heightsMeasured) {
        m_collapsedHeight = height();
        m_expandedHeight = m_collapsedHeight + (m_password->geometry().top() - m_address->geometry().top());
        m_heightsMeasured = true;
    }
    m_device->AttachWindow(m_notify);

    m_userEditedName = false;
    (void)m_light->LoadImage(kLightPng);
    SetLight(LIGHT_YELLOW);
    m_status->clear();
    m_address->setFocus();

    ChooseTargetHeight();
    SetTimer(ADD_TIMER_HEIGHT, kHeightStepMs);
    UpdateDefaultName();
}

void CAddDeviceDialog::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    if (m_heightsMeasured)
        ApplyLayout(this, kLayout);
}

bool CAddDeviceDialog::PasswordInvolved() const
{
    const LoginStatus login = m_device->GetLoginStatus();
    return login != LoginOpen && login != LoginError;
}

void CAddDeviceDialog::ChooseTargetHeight()
{
    if (PasswordInvolved()) {
        m_targetHeight = m_expandedHeight;
    } else {
        m_targetHeight = m_collapsedHeight;
        // Hide the row before the dialog shrinks over it.
        UpdatePasswordRow();
    }
}

void CAddDeviceDialog::UpdatePasswordRow()
{
    if (PasswordInvolved()) {
        m_passwordLabel->show();
        m_password->show();
        m_password->setFocus();
    } else {
        // Emptying the edit applies an empty password through its change handler.
        m_password->clear();
        m_passwordLabel->hide();
        m_password->hide();
    }
}

void CAddDeviceDialog::SetLight(int light)
{
    m_light->SetSourceRect(kLightCell * light, 0, kLightCell, kLightCell);
    m_light->setAccessibleDescription(QString::fromLatin1(LightName(light)));
}

int CAddDeviceDialog::StatusLightIndex() const
{
    return m_light->SourceRect().x() / kLightCell;
}

void CAddDeviceDialog::OnTimer(unsigned id)
{
    switch (id) {
    case ADD_TIMER_STATUS:
        KillTimer(ADD_TIMER_STATUS);
        // A new password on a connected device whose login was refused again: the
        // device reports only changes of its login state, so no notification follows
        // a second refusal. Show the outcome the connection holds instead of
        // searching for ever; a later change still arrives as a notification.
        if (std::exchange(m_passwordRetry, false) && m_device->HasConnection()) {
            ShowConnectedResult();
            break;
        }
        m_light->hide();
        if (!m_address->text().isEmpty()) {
            m_status->setText(QStringLiteral("Searching..."));
            m_spinner->show();
        } else {
            m_status->clear();
            m_spinner->hide();
        }
        break;
    case ADD_TIMER_HEIGHT: {
        const int current = height();
        if (current == m_targetHeight) {
            KillTimer(ADD_TIMER_HEIGHT);
            UpdatePasswordRow();
            break;
        }
        // The window keeps its place; only its height changes.
        setFixedSize(width(), current + HeightAnimationStep(current, m_targetHeight));
        break;
    }
    default:
        KillTimer(id);
        break;
    }
}

void CAddDeviceDialog::OnDeviceNotify(uint32_t)
{
    // The delivered bits were cleared from the device's in-flight set before this
    // call, so a later change of the same kind posts again.
    KillTimer(ADD_TIMER_STATUS);
    m_passwordRetry = false;
    if (m_device->HasConnection())
        ShowConnectedResult();
    else
        SetTimer(ADD_TIMER_STATUS, kStatusDelayMs);
    ChooseTargetHeight();
    SetTimer(ADD_TIMER_HEIGHT, kHeightStepMs);
}

void CAddDeviceDialog::ShowConnectedResult()
{
    m_spinner->hide();
    VideoMode mode;
    (void)m_device->GetVideoMode(&mode);
    const AddDeviceStatus status =
        ChooseAddDeviceStatus(m_device->GetLoginStatus(), mode.width >= 1 && mode.height >= 1,
                              m_device->GetPassword().empty(), m_device->GetModelName(), m_device->GetSerialNumber());
    SetLight(status.light);
    m_light->show();
    m_status->setText(QString::fromStdString(status.text));
    UpdateDefaultName();
}

void CAddDeviceDialog::OnNameChanged(const QString &text)
{
    if (m_writingName)
        return;
    m_userEditedName = true;
    m_device->SetName(text.toStdString().c_str());
}

void CAddDeviceDialog::OnAddressChanged(const QString &text)
{
    const std::string address = text.toStdString();
    if (address == m_lastAddress)
        return;
    m_lastAddress = address;
    m_passwordRetry = false;
    m_device->SetAddress(address.c_str());
    UpdateDefaultName();
    SetTimer(ADD_TIMER_STATUS, kStatusDelayMs);
}

void CAddDeviceDialog::OnPasswordChanged(const QString &text)
{
    const std::string password = text.toStdString();
    if (password == m_lastPassword)
        return;
    m_lastPassword = password;
    m_device->SetPassword(password.c_str());
    m_passwordRetry = m_device->HasConnection();
    SetTimer(ADD_TIMER_STATUS, kStatusDelayMs);
}

void CAddDeviceDialog::UpdateDefaultName()
{
    if (m_userEditedName && !m_name->text().isEmpty())
        return;
    std::string text = m_device->GetDisplayName();
    if (text.empty() && !m_lastAddress.empty()) {
        std::string model = m_device->GetModelName();
        if (model.empty())
            model = "Device";
        text = model + " at " + m_lastAddress;
    }
    if (text.empty())
        text = "New Device";
    // The write counts as a change of the name edit: the device takes the text.
    m_writingName = true;
    m_name->setText(QString::fromStdString(text));
    m_writingName = false;
    m_device->SetName(text.c_str());
    m_userEditedName = false;
}

}  // namespace Tessaline::Ui
