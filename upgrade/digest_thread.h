#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <QByteArray>

#include "upgrade/sha256_digest.h"

// SHA-256 of the chunks the download thread hands over, computed on a thread
// of its own through a ring of a few MiB. Owned by the download thread; the
// destructor joins the hashing thread, so it never outlives its owner.
class DigestThread {
 public:
  // `stop` is the window's flag: set, it frees a producer waiting for room.
  explicit DigestThread(const std::atomic<int>& stop);
  ~DigestThread();
  DigestThread(const DigestThread&) = delete;
  DigestThread& operator=(const DigestThread&) = delete;

  // Copies the chunk into the ring, waiting while the ring is full. False
  // when the stop flag was set during that wait.
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
  // Bytes [m_read, m_written) of the stream, each at its offset modulo the
  // ring's size: the producer copies in beyond m_written, the hashing thread
  // reads before it, both outside the lock; the positions move under it.
  std::unique_ptr<char[]> m_ring;
  std::mutex m_mutex;
  std::condition_variable m_bytesQueued;
  std::condition_variable m_roomFreed;
  uint64_t m_written = 0;  // under m_mutex, as are the next three
  uint64_t m_read = 0;
  bool m_closed = false;
  bool m_abandoned = false;
  std::thread m_thread;  // not joinable when no thread could be had: hashed inline
};
