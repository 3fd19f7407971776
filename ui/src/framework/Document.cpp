#include "ui/framework/Document.h"

#include <algorithm>

namespace Tessaline::Ui {

CView::~CView()
{
    if (m_document)
        m_document->RemoveView(this);
}

void CView::OnInitialUpdate()
{
    OnUpdate(nullptr, 0, nullptr);
}

CDocument::CDocument(QObject *parent) : QObject(parent) {}

CDocument::~CDocument()
{
    for (CView *view : m_views)
        view->m_document = nullptr;
}

void CDocument::AddView(CView *view)
{
    if (!view || view->m_document == this)
        return;
    if (view->m_document)
        view->m_document->RemoveView(view);
    view->m_document = this;
    m_views.push_back(view);
}

void CDocument::RemoveView(CView *view)
{
    if (!view || view->m_document != this)
        return;
    std::erase(m_views, view);
    view->m_document = nullptr;
}

void CDocument::SendInitialUpdate()
{
    const std::vector<CView *> views = m_views;
    for (CView *view : views) {
        if (std::find(m_views.begin(), m_views.end(), view) != m_views.end())
            view->OnInitialUpdate();
    }
    if (m_router)
        m_router->UpdateCommandUI();
}

void CDocument::UpdateAllViews(CView *sender, long hint, void *object)
{
    // A view may leave the document while it handles the update: walk a copy and
    // skip views that are gone.
    const std::vector<CView *> views = m_views;
    for (CView *view : views) {
        if (view == sender || std::find(m_views.begin(), m_views.end(), view) == m_views.end())
            continue;
        view->OnUpdate(sender, hint, object);
    }
    if (m_router)
        m_router->UpdateCommandUI();
    emit viewsUpdated(hint);
}

}  // namespace Tessaline::Ui
