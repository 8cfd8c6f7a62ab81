// Intrusive tail queues: the one list type of the core runtime.
//
// The head holds a pointer to the first element and a pointer to the last
// element's next link (or to its own first pointer when empty); each element
// embeds a tailq_entry holding its next pointer and a pointer to the previous
// element's next link.  Insertion at either end and removal of any element
// are constant time, and removal needs neither the head's first element nor
// a walk.
//
// The list never owns its elements and never allocates.  Heads and entries
// are plain aggregates, so they may live in zero-filled heap objects and in
// static storage; a head must be init()ed (or built with TAILQ_HEAD_INITIALIZER)
// before use.  Removal clears the element's links, so a removed element is
// recognisably unlinked and a stale second removal faults at once instead of
// corrupting a neighbour.
//
// No locks: the owner of a list serialises every access to it.
#pragma once

#include <cstddef>

template <class T>
struct tailq_entry {
    T *tqe_next;   // next element, or null
    T **tqe_prev;  // previous element's tqe_next, or the head's tqh_first
};

template <class T, tailq_entry<T> T::*Link>
struct tailq {
    T *tqh_first;
    T **tqh_last;

    void init() {
        tqh_first = nullptr;
        tqh_last = &tqh_first;
    }
    bool empty() const { return tqh_first == nullptr; }
    T *first() const { return tqh_first; }
    static T *next(const T *e) { return (e->*Link).tqe_next; }
    static bool linked(const T *e) { return (e->*Link).tqe_prev != nullptr; }

    void insert_tail(T *e) {
        (e->*Link).tqe_next = nullptr;
        (e->*Link).tqe_prev = tqh_last;
        *tqh_last = e;
        tqh_last = &(e->*Link).tqe_next;
    }

    void insert_head(T *e) {
        (e->*Link).tqe_next = tqh_first;
        if (tqh_first != nullptr)
            (tqh_first->*Link).tqe_prev = &(e->*Link).tqe_next;
        else
            tqh_last = &(e->*Link).tqe_next;
        tqh_first = e;
        (e->*Link).tqe_prev = &tqh_first;
    }

    // Inserts e right after the linked element pos.
    void insert_after(T *pos, T *e) {
        (e->*Link).tqe_next = (pos->*Link).tqe_next;
        if ((e->*Link).tqe_next != nullptr)
            ((e->*Link).tqe_next->*Link).tqe_prev = &(e->*Link).tqe_next;
        else
            tqh_last = &(e->*Link).tqe_next;
        (pos->*Link).tqe_next = e;
        (e->*Link).tqe_prev = &(pos->*Link).tqe_next;
    }

    void remove(T *e) {
        T *n = (e->*Link).tqe_next;
        if (n != nullptr)
            (n->*Link).tqe_prev = (e->*Link).tqe_prev;
        else
            tqh_last = (e->*Link).tqe_prev;
        *(e->*Link).tqe_prev = n;
        (e->*Link).tqe_next = nullptr;
        (e->*Link).tqe_prev = nullptr;
    }

    // Forward iteration for range-for.  The element under the cursor must not
    // be removed while iterating; walks that unlink use next() by hand.
    struct iterator {
        T *e;
        T *operator*() const { return e; }
        iterator &operator++() {
            e = (e->*Link).tqe_next;
            return *this;
        }
        bool operator==(const iterator &o) const { return e == o.e; }
    };
    iterator begin() const { return {tqh_first}; }
    iterator end() const { return {nullptr}; }
};

// Static initialiser of an empty head: TAILQ_HEAD_INITIALIZER(head).
#define TAILQ_HEAD_INITIALIZER(head) {nullptr, &(head).tqh_first}
