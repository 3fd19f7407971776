#include "ambry/Queue.h"

namespace Ambry {

void QueueInit(Queue *queue)
{
    queue->count = 0;
    queue->sentinel.prev = &queue->sentinel;
    queue->sentinel.next = &queue->sentinel;
    queue->sentinel.queue = queue;
}

void QueueNodeInit(QueueNode *node)
{
    node->prev = node;
    node->next = node;
    node->queue = nullptr;
}

bool QueueIsEmpty(const Queue *queue) { return queue->sentinel.next == &queue->sentinel; }

namespace {

void LinkAfter(Queue *queue, QueueNode *where, QueueNode *node)
{
    if (node->queue)
        QueueRemove(node);
    node->prev = where;
    node->next = where->next;
    where->next->prev = node;
    where->next = node;
    node->queue = queue;
    ++queue->count;
}

}  // namespace

void QueuePushBack(Queue *queue, QueueNode *node) { LinkAfter(queue, queue->sentinel.prev, node); }

void QueuePushFront(Queue *queue, QueueNode *node) { LinkAfter(queue, &queue->sentinel, node); }

QueueNode *QueueFront(const Queue *queue)
{
    return QueueIsEmpty(queue) ? nullptr : queue->sentinel.next;
}

QueueNode *QueuePopFront(Queue *queue)
{
    QueueNode *node = QueueFront(queue);
    if (node)
        QueueRemove(node);
    return node;
}

bool QueueRemove(QueueNode *node)
{
    Queue *queue = node->queue;
    if (!queue || node == &queue->sentinel)
        return false;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    --queue->count;
    QueueNodeInit(node);
    return true;
}

int QueueMoveAll(Queue *to, Queue *from)
{
    if (to == from || QueueIsEmpty(from))
        return 0;
    int moved = 0;
    for (QueueNode *node = from->sentinel.next; node != &from->sentinel; node = node->next) {
        node->queue = to;
        ++moved;
    }
    QueueNode *first = from->sentinel.next;
    QueueNode *last = from->sentinel.prev;
    QueueNode *tail = to->sentinel.prev;
    tail->next = first;
    first->prev = tail;
    last->next = &to->sentinel;
    to->sentinel.prev = last;
    to->count += moved;
    from->sentinel.next = &from->sentinel;
    from->sentinel.prev = &from->sentinel;
    from->count = 0;
    return moved;
}

}  // namespace Ambry
