#include "ui/listpane/LeftPane.h"

#include "ui/controls/AnchorLayout.h"
#include "ui/framework/Command.h"
#include "ui/framework/DialogTemplate.h"
#include "ui/listpane/DevicesListBox.h"

#include <store/DeviceList.h>

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QThread>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>

#include <array>

namespace Tessaline::Ui {

namespace {

constexpr int kListId = 1004;
constexpr int kAddId = 1006;
constexpr int kRemoveId = 1005;
constexpr int kSearchId = 1013;

const std::array<ControlTemplate, 4> kPaneControls{{
    {kListId, ControlKind::ListBox, "", 2, 0, 165, 87, CS_BORDER | CS_VSCROLL, "Devices"},
    {kAddId, ControlKind::PushButton, "Add...", 1, 91, 50, 14},
    {kRemoveId, ControlKind::PushButton, "Remove", 56, 91, 50, 14, CS_DISABLED},
    {kSearchId, ControlKind::PushButton, "Search", 117, 91, 50, 14},
}};

const DialogTemplate kPaneTemplate{CLeftPane::kTemplateId, nullptr, 169, 111, kPaneControls};

const LayoutRule kPaneLayout[] = {
    {kAddId, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kAddId, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kRemoveId, EDGE_LEFT, kAddId, LAYOUT_BESIDE, 0, 4},
    {kRemoveId, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kSearchId, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kSearchId, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kListId, EDGE_TOP, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kListId, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kListId, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 4},
    {kListId, EDGE_BOTTOM, kAddId, LAYOUT_BESIDE, 0, 4},
    {0, 0, 0, 0, 0, 0},
};

}  // namespace

CLeftPane::CLeftPane(QWidget *parent) : QWidget(parent)
{
    setAccessibleName(QStringLiteral("Device list pane"));
    InstantiateTemplate(this, kPaneTemplate, [this](const ControlTemplate &entry, QWidget *owner) -> QWidget * {
        if (entry.id != kListId)
            return nullptr;
        m_list = new CDevicesListBox(owner);
        return m_list;
    });
    m_add = qobject_cast<QPushButton *>(GetDlgItem(this, kAddId));
    m_remove = qobject_cast<QPushButton *>(GetDlgItem(this, kRemoveId));
    m_search = qobject_cast<QPushButton *>(GetDlgItem(this, kSearchId));
    m_search->setAccessibleName(QStringLiteral("Search the local networks"));

    connect(m_add, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_ADD); });
    connect(m_remove, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_REMOVE); });
    connect(m_search, &QPushButton::clicked, this, [this] { SendCommand(ID_DEVICE_SEARCH); });
    connect(m_list, &CDevicesListBox::commandRequested, this, [this](unsigned id) { SendCommand(id); });
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] { OnSelectionChanged(); });
    m_list->installEventFilter(this);
    m_list->viewport()->installEventFilter(this);
    setFocusProxy(m_list);
}

CLeftPane::~CLeftPane()
{
    // The list box outlives this part of the pane while the children are deleted; its
    // last signals (the emptied selection) must not reach a half-destroyed pane.
    disconnect(m_list, nullptr, this, nullptr);
    m_list->removeEventFilter(this);
    m_list->viewport()->removeEventFilter(this);
    if (m_listenedSet) {
        if (CDeviceDocument *doc = Document(); doc && doc->DeviceList()) {
            Ambry::CLock lock(doc->DeviceList()->Mutex());
            m_listenedSet->RemoveListener(this);
        }
        m_listenedSet = nullptr;
    }
}

void CLeftPane::Layout()
{
    ApplyLayout(this, kPaneLayout);
}

void CLeftPane::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void CLeftPane::SendCommand(unsigned id)
{
    if (CDeviceDocument *doc = Document())
        doc->RouteCommand(id);
}

void CLeftPane::OnInitialUpdate()
{
    Layout();
    CDeviceDocument *doc = Document();
    CDeviceList *list = doc ? doc->DeviceList() : nullptr;
    if (!list)
        return;
    bool anyBusy = false;
    Ambry::Ref<CDevice> first;
    {
        Ambry::CLock lock(list->Mutex());
        CDeviceSet &active = list->Active();
        for (size_t i = 0; i < active.Count(); ++i)
            m_list->AddDevice(active.At(i));
        if (active.Count() > 0)
            first = Ambry::Ref<CDevice>::Retain(active.At(0));
        active.AddListener(this);
        m_listenedSet = &active;
        anyBusy = active.AnyBusy();
    }
    if (!doc->CurrentDevice() && first)
        doc->SetCurrentDevice(first.get());
    SelectCurrentDevice();
    UpdateRemoveButton();
    if (anyBusy)
        StartBusyAnimation();
}

void CLeftPane::SelectCurrentDevice()
{
    CDeviceDocument *doc = Document();
    const int row = m_list->FindDevice(doc ? doc->CurrentDevice() : nullptr);
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    const int selectedRow = selected.isEmpty() ? -1 : m_list->row(selected.front());
    if (row == selectedRow)
        return;
    if (row >= 0)
        m_list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    else
        m_list->clearSelection();
}

void CLeftPane::OnSelectionChanged()
{
    CDeviceDocument *doc = Document();
    if (!doc)
        return;
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    CDevice *device = selected.isEmpty() ? nullptr : m_list->DeviceAt(m_list->row(selected.front()));
    if (device != doc->CurrentDevice())
        doc->SetCurrentDevice(device);
}

void CLeftPane::UpdateRemoveButton()
{
    CDeviceDocument *doc = Document();
    m_remove->setEnabled(doc && doc->CurrentDevice());
}

void CLeftPane::OnUpdate(CView *sender, long hint, void *object)
{
    (void)sender;
    (void)object;
    CDeviceDocument *doc = Document();
    switch (hint) {
    case HINT_CURRENT_DEVICE:
        SelectCurrentDevice();
        break;
    case HINT_SEARCH_STARTED:
        m_search->setText(QStringLiteral("Cancel"));
        m_search->setAccessibleName(QStringLiteral("Cancel the search"));
        SetTimer(kSearchTimer, kSearchTimeoutMs);
        break;
    case HINT_SEARCH_STOPPED:
        m_search->setText(QStringLiteral("Search"));
        m_search->setAccessibleName(QStringLiteral("Search the local networks"));
        if (doc && doc->DeviceList() && doc->DeviceList()->IsDirty())
            doc->SaveDeviceList();
        break;
    default:
        break;
    }
    UpdateRemoveButton();
}

void CLeftPane::StartBusyAnimation()
{
    if (m_busyAnimation)
        return;
    m_busyAnimation = true;
    SetTimer(kBusyTimer, kBusyPeriodMs);
}

void CLeftPane::OnTimer(unsigned id)
{
    CDeviceDocument *doc = Document();
    CDeviceList *list = doc ? doc->DeviceList() : nullptr;
    if (id == kBusyTimer) {
        m_list->InvalidateRows();
        if (!list || !list->AnyBusy()) {
            m_busyAnimation = false;
            KillTimer(kBusyTimer);
        }
    } else if (id == kSearchTimer) {
        // A search the user already ended makes this expiry do nothing.
        if (list && list->IsSearching())
            doc->StopSearch();
        KillTimer(kSearchTimer);
    }
}

void CLeftPane::OnDeviceNotify()
{
    m_list->InvalidateRows();
    CDeviceDocument *doc = Document();
    if (doc && doc->DeviceList() && doc->DeviceList()->AnyBusy())
        StartBusyAnimation();
}

// The listener side is told on the thread that changed the set; every change of the
// active set must come from the user-interface thread.
static void AssertUserInterfaceThread()
{
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
}

void CLeftPane::OnDeviceAdded(CDeviceSet *set, CDevice *device)
{
    (void)set;
    AssertUserInterfaceThread();
    m_list->AddDevice(device);
    if (device->IsBusy())
        StartBusyAnimation();
}

void CLeftPane::OnDeviceRemoved(CDeviceSet *set, CDevice *device)
{
    (void)set;
    AssertUserInterfaceThread();
    m_list->StartRemoval(device);
}

void CLeftPane::OnDeviceListCleared(CDeviceSet *set)
{
    (void)set;
    AssertUserInterfaceThread();
    m_list->RemoveAllRows();
}

void CLeftPane::MergeDiscoveryRecord(const DiscoveryRecord &record)
{
    CDeviceDocument *doc = Document();
    if (!doc || !doc->DeviceList())
        return;
    doc->DeviceList()->MergeDiscoveryRecord(record);
}

QMenu *CLeftPane::CreateContextMenu(QWidget *parent) const
{
    auto *menu = new QMenu(parent);
    QMenu *popup = menu->addMenu(QStringLiteral("Device"));
    QAction *refresh = popup->addAction(QStringLiteral("Refresh"));
    popup->addSeparator();
    QAction *remove = popup->addAction(QStringLiteral("Remove device"));
    CDeviceDocument *doc = Document();
    CCommandRouter *router = doc ? doc->CommandRouter() : nullptr;
    if (router) {
        router->Bind(refresh, ID_DEVICE_REFRESH);
        router->Bind(remove, ID_DEVICE_REMOVE);
        router->UpdateCommandUI();
    } else {
        connect(refresh, &QAction::triggered, this, [this] { const_cast<CLeftPane *>(this)->SendCommand(ID_DEVICE_REFRESH); });
        connect(remove, &QAction::triggered, this, [this] { const_cast<CLeftPane *>(this)->SendCommand(ID_DEVICE_REMOVE); });
    }
    return menu;
}

void CLeftPane::ShowContextMenu(const QPoint &globalPos)
{
    // The menu's single popup is what appears at the mouse.
    QMenu *menu = CreateContextMenu(this);
    QMenu *popup = menu->actions().front()->menu();
    popup->exec(globalPos);
    menu->deleteLater();
}

void CLeftPane::contextMenuEvent(QContextMenuEvent *event)
{
    ShowContextMenu(event->globalPos());
    event->accept();
}

bool CLeftPane::eventFilter(QObject *watched, QEvent *event)
{
    // A right click on the list must not move the selection: the menu acts on the
    // current device.
    if (watched != m_list && watched != m_list->viewport())
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::ContextMenu) {
        auto *menuEvent = static_cast<QContextMenuEvent *>(event);
        ShowContextMenu(menuEvent->globalPos());
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease ||
        event->type() == QEvent::MouseButtonDblClick) {
        if (static_cast<QMouseEvent *>(event)->button() == Qt::RightButton)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace Tessaline::Ui
