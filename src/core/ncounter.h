// Statistics counters shared between threads.
//
// Counters are written by the thread that owns them and read by the control
// socket thread without a lock.  Relaxed atomic loads and stores keep each
// value whole and the program free of data races, at the cost of a plain
// load and store: concurrent writers may lose an increment, which statistics
// tolerate, but never tear a value.
#pragma once

#include <cstdint>

template <class T>
inline T n_counter_get(const T &c) {
    return __atomic_load_n(&c, __ATOMIC_RELAXED);
}

template <class T>
inline void n_counter_set(T &c, T v) {
    __atomic_store_n(&c, v, __ATOMIC_RELAXED);
}

template <class T>
inline void n_counter_add(T &c, T d) {
    n_counter_set(c, static_cast<T>(n_counter_get(c) + d));
}

template <class T>
inline void n_counter_inc(T &c) {
    n_counter_add(c, T{1});
}

template <class T>
inline void n_counter_dec(T &c) {
    n_counter_set(c, static_cast<T>(n_counter_get(c) - 1));
}
