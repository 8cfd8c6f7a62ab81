// nthread_unix: thin wrappers over POSIX threads and semaphores.  A thread
// that cannot be created or joined stops the process.
#pragma once

#include <pthread.h>
#include <semaphore.h>

// Creates a joinable thread with default attributes; returns 0.
int nthread_create(pthread_t *thread, void *(*start)(void *), void *arg);
// Waits for the thread to end, ignoring its result; returns 0.
int nthread_term(pthread_t *thread);
// Takes the semaphore, waiting again when a signal interrupts the wait.
// 0 when taken, -1 on any other error.
int nthread_sem_wait(sem_t *sem);
