// The document and its views.
//
// A document owns the data a window shows; views follow it. A change is announced with
// UpdateAllViews(sender, hint, object): every view except the sender gets OnUpdate
// with the same hint and object. The hint values belong to the document's owner.
// The document is also a command target, and after each broadcast it asks its
// router (when it has one) to refresh the enabled state of the bound commands.
#pragma once

#include "ui/framework/Command.h"

#include <QObject>
#include <QPointer>

#include <vector>

namespace Tessaline::Ui {

class CDocument;

// Mixin for a widget that shows a document.
class CView {
public:
    CView() = default;
    CView(const CView &) = delete;
    CView &operator=(const CView &) = delete;
    virtual ~CView();

    CDocument *GetDocument() const { return m_document; }

    // Called once when the view is first shown with its document. The default
    // delivers OnUpdate(nullptr, 0, nullptr).
    virtual void OnInitialUpdate();
    // A document change; hint and object as given to UpdateAllViews.
    virtual void OnUpdate(CView *sender, long hint, void *object) = 0;

private:
    friend class CDocument;
    CDocument *m_document = nullptr;
};

class CDocument : public QObject, public CCommandTarget {
    Q_OBJECT
public:
    explicit CDocument(QObject *parent = nullptr);
    ~CDocument() override;

    // Attaches a view (not owned). A view belongs to at most one document.
    void AddView(CView *view);
    void RemoveView(CView *view);
    const std::vector<CView *> &Views() const { return m_views; }

    // Runs OnInitialUpdate on every view, in the order they were added.
    void SendInitialUpdate();

    // Tells every view except `sender` about a change.
    void UpdateAllViews(CView *sender, long hint = 0, void *object = nullptr);

    // Called by the application once the document exists; the default succeeds.
    virtual bool OnNewDocument() { return true; }

    // The route whose commands follow this document's enabled states (not owned).
    void SetCommandRouter(CCommandRouter *router) { m_router = router; }
    CCommandRouter *CommandRouter() const { return m_router; }

    bool OnCommand(unsigned id) override
    {
        (void)id;
        return false;
    }

signals:
    // Emitted after every UpdateAllViews.
    void viewsUpdated(long hint);

private:
    std::vector<CView *> m_views;
    QPointer<CCommandRouter> m_router;
};

}  // namespace Tessaline::Ui
