#include "ui/framework/Command.h"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>

#include <algorithm>

namespace Tessaline::Ui {

namespace {
constexpr const char *kCommandProperty = "tessalineCommandId";
}

CCommandRouter::CCommandRouter(QObject *parent) : QObject(parent) {}

CCommandRouter::~CCommandRouter() = default;

void CCommandRouter::AddTarget(CCommandTarget *target)
{
    if (target && std::find(m_targets.begin(), m_targets.end(), target) == m_targets.end())
        m_targets.push_back(target);
}

void CCommandRouter::PushFrontTarget(CCommandTarget *target)
{
    if (target && std::find(m_targets.begin(), m_targets.end(), target) == m_targets.end())
        m_targets.insert(m_targets.begin(), target);
}

void CCommandRouter::RemoveTarget(CCommandTarget *target)
{
    std::erase(m_targets, target);
}

bool CCommandRouter::SendCommand(unsigned id)
{
    if (!IsCommandEnabled(id))
        return false;
    // A handler may change the route (close a window, remove a target): walk a copy.
    const std::vector<CCommandTarget *> route = m_targets;
    for (CCommandTarget *target : route) {
        if (std::find(m_targets.begin(), m_targets.end(), target) == m_targets.end())
            continue;
        if (target->OnCommand(id)) {
            emit commandHandled(id);
            return true;
        }
    }
    return false;
}

bool CCommandRouter::IsCommandEnabled(unsigned id) const
{
    for (const CCommandTarget *target : m_targets) {
        if (std::optional<bool> enabled = target->QueryCommandEnabled(id))
            return *enabled;
    }
    return true;
}

void CCommandRouter::Bind(QAction *action, unsigned id, bool followEnabled)
{
    if (!action)
        return;
    connect(action, &QAction::triggered, this, [this, id] { SendCommand(id); });
    AddBinding(action, id, followEnabled);
    if (followEnabled)
        action->setEnabled(IsCommandEnabled(id));
}

void CCommandRouter::Bind(QAbstractButton *button, unsigned id, bool followEnabled)
{
    if (!button)
        return;
    connect(button, &QAbstractButton::clicked, this, [this, id] { SendCommand(id); });
    AddBinding(button, id, followEnabled);
    if (followEnabled)
        button->setEnabled(IsCommandEnabled(id));
}

void CCommandRouter::AddBinding(QObject *object, unsigned id, bool followEnabled)
{
    object->setProperty(kCommandProperty, id);
    m_bindings.push_back({object, id, followEnabled});
}

void CCommandRouter::WatchMenu(QMenu *menu)
{
    if (menu)
        connect(menu, &QMenu::aboutToShow, this, &CCommandRouter::UpdateCommandUI);
}

void CCommandRouter::UpdateCommandUI()
{
    std::erase_if(m_bindings, [](const Binding &b) { return b.object.isNull(); });
    for (const Binding &binding : m_bindings) {
        if (!binding.followEnabled)
            continue;
        const bool enabled = IsCommandEnabled(binding.id);
        if (auto *action = qobject_cast<QAction *>(binding.object.data()))
            action->setEnabled(enabled);
        else if (auto *widget = qobject_cast<QWidget *>(binding.object.data()))
            widget->setEnabled(enabled);
    }
}

unsigned CCommandRouter::CommandId(const QObject *actionOrButton)
{
    if (!actionOrButton)
        return 0;
    return actionOrButton->property(kCommandProperty).toUInt();
}

}  // namespace Tessaline::Ui
