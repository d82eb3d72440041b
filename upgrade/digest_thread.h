#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <QByteArray>

#include "upgrade/sha256_digest.h"

// SHA-256 of the chunks the download thread hands over, computed on a thread
// of its own through a queue bounded in bytes. Owned by the download thread;
// the destructor joins the hashing thread, so it never outlives its owner.
class DigestThread {
 public:
  // `stop` is the window's flag: set, it frees a producer waiting for room.
  explicit DigestThread(const std::atomic<int>& stop);
  ~DigestThread();
  DigestThread(const DigestThread&) = delete;
  DigestThread& operator=(const DigestThread&) = delete;

  // Copies the chunk into the queue, waiting while the queue is full. False
  // when the stop flag was set during that wait or no copy could be made.
  bool Add(const char* data, size_t size);
  // Waits until every chunk is hashed: the digest, or empty when hashing failed.
  QByteArray Finish();

 private:
  static void HashThreadProc(DigestThread* self);
  // Ends the hashing thread and joins it; `abandon` drops what is still queued.
  void Join(bool abandon);

  const std::atomic<int>& m_stop;
  // The hashing thread's alone while it runs; the owner's once it is joined,
  // or throughout when no thread could be had.
  Sha256Digest m_digest;
  std::mutex m_mutex;
  std::condition_variable m_chunkQueued;
  std::condition_variable m_roomFreed;
  std::deque<std::vector<char>> m_queue;  // under m_mutex, as are the next three
  size_t m_queuedBytes = 0;
  bool m_closed = false;
  bool m_abandoned = false;
  std::thread m_thread;  // not joinable when no thread could be had: hashed inline
};
