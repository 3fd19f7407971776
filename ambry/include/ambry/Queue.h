// Intrusive doubly linked queue. Nodes are embedded in the caller's items; a node
// knows the queue that holds it. Not thread-safe: users lock around it.
//
//   struct Job { Ambry::QueueNode node; void (*run)(Job *); };
//   Ambry::Queue queue; Ambry::QueueInit(&queue);
//   Ambry::QueuePushBack(&queue, &job->node);
//   Job *next = AMBRY_CONTAINER_OF(Ambry::QueuePopFront(&queue), Job, node);
#pragma once

#include <cstddef>

namespace Ambry {

struct Queue;

struct QueueNode {
    QueueNode *prev = this;
    QueueNode *next = this;
    Queue *queue = nullptr;  // the queue holding the node, null when free
};

struct Queue {
    int count = 0;
    QueueNode sentinel;  // links point to itself when the queue is empty

    Queue() = default;
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;
};

// Empties the header (forgets any nodes it held).
void QueueInit(Queue *queue);
// Unlinks a node record: links to itself, no queue.
void QueueNodeInit(QueueNode *node);
bool QueueIsEmpty(const Queue *queue);
// Appends node; a node still in a queue is removed from it first.
void QueuePushBack(Queue *queue, QueueNode *node);
// Adds node at the front; a node still in a queue is removed from it first.
void QueuePushFront(Queue *queue, QueueNode *node);
// Unlinks and returns the first node (links to itself), or null when empty.
QueueNode *QueuePopFront(Queue *queue);
// The first node without removing it, or null.
QueueNode *QueueFront(const Queue *queue);
// Removes node from whatever queue holds it; false when it is in none.
bool QueueRemove(QueueNode *node);
// Moves every node of from to the back of to, keeping their order. Refused (0) for
// the same queue or an empty source; otherwise returns the number moved.
int QueueMoveAll(Queue *to, Queue *from);

}  // namespace Ambry

// The item that embeds node as its member.
#define AMBRY_CONTAINER_OF(node, Type, member) \
    ((node) ? reinterpret_cast<Type *>(reinterpret_cast<char *>(node) - offsetof(Type, member)) : nullptr)
