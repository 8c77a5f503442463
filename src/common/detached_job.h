// Work on a thread of its own that the starting thread may stop waiting for: a proxy lookup or a
// request that can hang inside the system's code for longer than the run will wait.
#pragma once

#include <windows.h>

#include <new>

#include "common/heap.h"

// The work's block, on the heap, shared by the starting thread and the work's thread: each holds a
// reference and the last to let go frees it, so work that outlives the starting thread's wait never
// touches freed memory. `Work` holds its inputs (its own copies) and its results, and has `void
// Run()`; Run writes the results before `done` is set, and the starting thread reads them only after
// it saw `done` set.
template <typename Work>
struct DetachedJob {
  volatile LONG references;
  HANDLE done;  // manual reset: Run has returned
  Work work;
};

// Lets go of one reference; the last frees the job.
template <typename Work>
void ReleaseDetachedJob(DetachedJob<Work>* job) {
  if (InterlockedDecrement(&job->references) != 0) return;
  if (job->done) CloseHandle(job->done);
  job->~DetachedJob();
  FreeBlock(job);
}

// A new job, holding the starting thread's reference; null when memory or the event is lacking.
template <typename Work>
DetachedJob<Work>* NewDetachedJob() {
  void* block = AllocateBlock(sizeof(DetachedJob<Work>));
  if (!block) return nullptr;
  auto* job = new (block) DetachedJob<Work>{};
  job->references = 1;
  job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!job->done) {
    ReleaseDetachedJob(job);
    return nullptr;
  }
  return job;
}

template <typename Work>
DWORD WINAPI RunDetachedJob(void* parameter) {
  auto* job = static_cast<DetachedJob<Work>*>(parameter);
  job->work.Run();
  SetEvent(job->done);
  ReleaseDetachedJob(job);
  return 0;
}

// Starts the job's thread, with a reference of its own. False when no thread could be made: the job
// is then still only the caller's, to release.
template <typename Work>
bool StartDetachedJob(DetachedJob<Work>* job) {
  InterlockedIncrement(&job->references);
  HANDLE thread = CreateThread(nullptr, 0, RunDetachedJob<Work>, job, 0, nullptr);
  if (!thread) {
    InterlockedDecrement(&job->references);
    return false;
  }
  CloseHandle(thread);
  return true;
}
