// Command ids and their route.
//
// Menu items, accelerators and pane buttons carry numeric command ids. A command is
// offered to a chain of targets (typically the active view, then the document, then
// the frame and the application); the first target that handles it ends the route.
// The enabled state of an id comes from the first target that has an opinion on it;
// an id that no target has an opinion on is enabled.
#pragma once

#include <QObject>
#include <QPointer>

#include <optional>
#include <vector>

class QAbstractButton;
class QAction;
class QMenu;

namespace Tessaline::Ui {

class CCommandTarget {
public:
    virtual ~CCommandTarget() = default;

    // Carries out command `id`; returns true when this target handled it.
    virtual bool OnCommand(unsigned id) = 0;

    // The enabled state of command `id`, or nothing when this target has no opinion.
    virtual std::optional<bool> QueryCommandEnabled(unsigned id) const
    {
        (void)id;
        return std::nullopt;
    }
};

// The chain of command targets of one window, and the actions and buttons bound to
// command ids. Targets are not owned; remove a target before it is destroyed.
class CCommandRouter : public QObject {
    Q_OBJECT
public:
    explicit CCommandRouter(QObject *parent = nullptr);
    ~CCommandRouter() override;

    // Appends a target to the end of the route (the first added is asked first).
    void AddTarget(CCommandTarget *target);
    // Puts a target at the front of the route.
    void PushFrontTarget(CCommandTarget *target);
    void RemoveTarget(CCommandTarget *target);

    // Offers command `id` to the targets in order; true when one handled it.
    // A disabled command is not sent.
    bool SendCommand(unsigned id);
    // The enabled state by the first target that has an opinion; enabled by default.
    bool IsCommandEnabled(unsigned id) const;

    // Triggering the action sends its command. With followEnabled the action's
    // enabled state is set from IsCommandEnabled at every UpdateCommandUI.
    void Bind(QAction *action, unsigned id, bool followEnabled = true);
    // Clicking the button sends its command (buttons usually manage their own state;
    // pass followEnabled to let the route enable them).
    void Bind(QAbstractButton *button, unsigned id, bool followEnabled = false);
    // Every time the menu is about to show, the bound actions are updated.
    void WatchMenu(QMenu *menu);

    // Refreshes the enabled state of every bound action and button that follows it.
    void UpdateCommandUI();

    // The command id bound to an action or button, or 0.
    static unsigned CommandId(const QObject *actionOrButton);

signals:
    // Emitted after a command was handled by some target.
    void commandHandled(unsigned id);

private:
    struct Binding {
        QPointer<QObject> object;
        unsigned id;
        bool followEnabled;
    };
    void AddBinding(QObject *object, unsigned id, bool followEnabled);

    std::vector<CCommandTarget *> m_targets;
    std::vector<Binding> m_bindings;
};

}  // namespace Tessaline::Ui
