#include "app/ConfigDoc.h"

#include "app/WebConfig.h"

#include <ui/adddialog/AddDeviceDialog.h>
#include <ui/framework/Prompts.h>
#include <ui/options/OptionsSheet.h>

#include <ambry/Mutex.h>

#include <algorithm>

using namespace Tessaline::Ui;

CConfigDoc::CConfigDoc(QObject *parent) : CDeviceDocument(parent), m_list(std::make_unique<CDeviceList>())
{
}

CConfigDoc::~CConfigDoc()
{
    if (m_current)
        ClearCurrentDevice();
    if (m_list && m_list->IsDirty())
        m_list->Save();
    // The list's destructor stops a running search and every device.
    m_list.reset();
}

bool CConfigDoc::OnNewDocument()
{
    if (!CDeviceDocument::OnNewDocument())
        return false;
    if (m_list)
        m_list->Load();
    return true;
}

void CConfigDoc::SetMainWindow(QWidget *window, CNotifyTarget *target)
{
    m_mainWindow = window;
    m_searchTarget = target;
}

void CConfigDoc::SetCurrentDevice(CDevice *device)
{
    if (device == m_current.get())
        return;
    m_current = Ambry::Ref<CDevice>::Retain(device);
    UpdateAllViews(nullptr, HINT_CURRENT_DEVICE);
}

void CConfigDoc::ClearCurrentDevice()
{
    m_current = nullptr;
    UpdateAllViews(nullptr, HINT_CURRENT_DEVICE);
}

void CConfigDoc::SaveDeviceList()
{
    if (m_list)
        m_list->Save();
}

void CConfigDoc::StopSearch()
{
    if (!m_list || !m_list->IsSearching())
        return;
    m_list->StopSearch();
    UpdateAllViews(nullptr, HINT_SEARCH_STOPPED);
}

bool CConfigDoc::OnCommand(unsigned id)
{
    switch (id) {
    case ID_DEVICE_ADD:
        OnAddDevice();
        return true;
    case ID_DEVICE_REMOVE:
        OnRemoveDevice();
        return true;
    case ID_DEVICE_REMOVE_ALL:
        OnRemoveAllDevices();
        return true;
    case ID_DEVICE_REFRESH:
        OnRefreshDevice();
        return true;
    case ID_DEVICE_SEARCH:
        OnSearch();
        return true;
    case ID_DEVICE_ADVANCED:
        OnAdvanced();
        return true;
    case ID_DEVICE_WEBCONFIG:
        OnWebConfig();
        return true;
    default:
        return false;
    }
}

std::optional<bool> CConfigDoc::QueryCommandEnabled(unsigned id) const
{
    if (id == ID_DEVICE_REMOVE || id == ID_DEVICE_REFRESH)
        return m_current.get() != nullptr;
    return std::nullopt;
}

void CConfigDoc::OnAddDevice()
{
    if (!m_list)
        return;
    std::unique_ptr<CAddDeviceDialog> dialog = CAddDeviceDialog::Create(m_mainWindow);
    if (!dialog)
        return;
    if (RunModal(dialog.get()) != QDialog::Accepted) {
        // The cancelled device goes now, with its connection, rather than whenever
        // its worker next looks.
        if (CDevice *cancelled = dialog->Device())
            cancelled->Stop();
        return;
    }
    Ambry::Ref<CDevice> device = Ambry::Ref<CDevice>::Retain(dialog->Device());
    if (!device)
        return;
    m_list->Add(device.get());
    m_list->Save();
    SetCurrentDevice(device.get());
}

void CConfigDoc::OnRemoveDevice()
{
    if (m_list && m_current)
        RemoveDevice(m_current);
}

void CConfigDoc::RemoveDevice(Ambry::Ref<CDevice> device)
{
    // The reference keeps the device alive through the question and the removal.
    const QString text = QStringLiteral("Are you sure to delete device \"%1\"?")
                             .arg(QString::fromStdString(device->GetDisplayName()));
    if (MessageBox(m_mainWindow, text, MB_OKCANCEL) != IDOK)
        return;

    int index = -1;
    {
        Ambry::CLock lock(m_list->Mutex());
        index = m_list->Active().IndexOf(device.get());
    }
    m_list->Remove(device.get());
    m_list->Save();

    Ambry::Ref<CDevice> next;
    {
        Ambry::CLock lock(m_list->Mutex());
        const int count = static_cast<int>(m_list->Active().Count());
        index = std::min(std::max(index, 0), count - 1);
        if (index >= 0)
            next = Ambry::Ref<CDevice>::Retain(m_list->Active().At(static_cast<size_t>(index)));
    }
    if (next)
        SetCurrentDevice(next.get());
    else
        ClearCurrentDevice();
}

void CConfigDoc::OnRemoveAllDevices()
{
    if (!m_list)
        return;
    size_t count = 0;
    Ambry::Ref<CDevice> only;
    {
        Ambry::CLock lock(m_list->Mutex());
        count = m_list->Active().Count();
        if (count == 1)
            only = Ambry::Ref<CDevice>::Retain(m_list->Active().At(0));
    }
    if (count <= 1) {
        // One device: the single-device question. A device that a search added is
        // not current yet; it is still the one "all" means.
        if (m_current)
            RemoveDevice(m_current);
        else if (only)
            RemoveDevice(only);
        return;
    }
    const QString text = QStringLiteral(
        "You're about to delete ALL your devices.\nThis action can not be undone. Are you really sure?");
    if (MessageBox(m_mainWindow, text, MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
        return;
    m_list->RemoveAll();
    m_list->Save();
    if (m_current)
        ClearCurrentDevice();
}

void CConfigDoc::OnRefreshDevice()
{
    if (m_list && m_current)
        m_current->Refresh();
}

void CConfigDoc::OnSearch()
{
    if (!m_list)
        return;
    if (m_list->IsSearching()) {
        StopSearch();
        return;
    }
    if (m_list->StartSearch(m_searchTarget))
        UpdateAllViews(nullptr, HINT_SEARCH_STARTED);
}

void CConfigDoc::OnAdvanced()
{
    if (m_list && m_current)
        ShowOptionsSheet(m_mainWindow, m_current.get());
}

void CConfigDoc::OnWebConfig()
{
    if (m_list && m_current)
        OpenAdminPage(m_current->GetAddress());
}
