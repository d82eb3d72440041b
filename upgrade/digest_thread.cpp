#include "upgrade/digest_thread.h"

#include <chrono>
#include <new>
#include <system_error>

namespace {

// A few of libcurl's chunks (up to 1 MiB each) in flight: enough to ride over
// the hashing thread's scheduling delays, small beside the updater's footprint.
constexpr size_t kQueueBytes = 4 * 1024 * 1024;

// How often a producer waiting for room looks at the stop flag, which the
// window sets without notifying us.
constexpr std::chrono::milliseconds kStopPoll{50};

}  // namespace

DigestThread::DigestThread(const std::atomic<int>& stop) : m_stop(stop) {
  // No thread to be had: the chunks are hashed on the download thread, slower
  // but with the same outcome.
  try {
    m_thread = std::thread(&DigestThread::HashThreadProc, this);
  } catch (const std::system_error&) {
  }
}

DigestThread::~DigestThread() {
  Join(true);
}

bool DigestThread::Add(const char* data, size_t size) {
  if (!m_thread.joinable())
    return m_digest.Add(data, size);
  std::vector<char> chunk;
  try {
    chunk.assign(data, data + size);
  } catch (const std::bad_alloc&) {
    return false;  // not across libcurl's frames
  }
  std::unique_lock lock(m_mutex);
  // An oversized chunk still goes into an empty queue.
  while (!m_queue.empty() && m_queuedBytes + size > kQueueBytes) {
    if (m_stop.load() != 0)
      return false;
    m_roomFreed.wait_for(lock, kStopPoll);
  }
  m_queue.push_back(std::move(chunk));
  m_queuedBytes += size;
  lock.unlock();
  m_chunkQueued.notify_one();
  return true;
}

QByteArray DigestThread::Finish() {
  Join(false);
  return m_digest.Finish();
}

void DigestThread::Join(bool abandon) {
  if (!m_thread.joinable())
    return;
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_abandoned = abandon;
  }
  m_chunkQueued.notify_one();
  m_thread.join();
}

void DigestThread::HashThreadProc(DigestThread* self) {
  for (;;) {
    std::vector<char> chunk;
    {
      std::unique_lock lock(self->m_mutex);
      // Bounded by the owner: every way out of the download closes the queue.
      self->m_chunkQueued.wait(lock, [self] { return !self->m_queue.empty() || self->m_closed; });
      if (self->m_abandoned || self->m_queue.empty())
        return;
      chunk = std::move(self->m_queue.front());
      self->m_queue.pop_front();
      self->m_queuedBytes -= chunk.size();
    }
    self->m_roomFreed.notify_one();
    // A failure sticks in the digest and shows as a mismatch at the end.
    self->m_digest.Add(chunk.data(), chunk.size());
  }
}
