#include "upgrade/digest_thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

namespace {

// A few of libcurl's chunks (up to 1 MiB each) in flight: enough to ride over
// the hashing thread's scheduling delays, small beside the updater's footprint.
constexpr uint64_t kRingBytes = 4 * 1024 * 1024;

// The hashing thread wakes for this much at a time, not for every chunk:
// loopback chunks of 64 KiB would cost a context switch each.
constexpr uint64_t kWakeBytes = 1024 * 1024;

// How often a producer waiting for room looks at the stop flag, which the
// window sets without notifying us.
constexpr std::chrono::milliseconds kStopPoll{50};

}  // namespace

DigestThread::DigestThread(const std::atomic<int>& stop)
    : m_stop(stop), m_ring(new (std::nothrow) char[kRingBytes]) {
  // No ring or no thread to be had: the chunks are hashed on the download
  // thread, slower but with the same outcome.
  if (!m_ring)
    return;
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
  while (size > 0) {
    std::unique_lock lock(m_mutex);
    while (m_written - m_read == kRingBytes) {
      if (m_stop.load() != 0)
        return false;
      m_roomFreed.wait_for(lock, kStopPoll);
    }
    const uint64_t offset = m_written % kRingBytes;
    // Up to the ring's end or the oldest unhashed byte, whichever comes first.
    const size_t part = static_cast<size_t>(std::min<uint64_t>({size, kRingBytes - (m_written - m_read), kRingBytes - offset}));
    lock.unlock();
    std::memcpy(m_ring.get() + offset, data, part);
    lock.lock();
    m_written += part;
    const bool wake = m_written - m_read >= kWakeBytes;
    lock.unlock();
    if (wake)
      m_bytesQueued.notify_one();
    data += part;
    size -= part;
  }
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
  m_bytesQueued.notify_one();
  m_thread.join();
}

void DigestThread::HashThreadProc(DigestThread* self) {
  std::unique_lock lock(self->m_mutex);
  for (;;) {
    // Bounded by the owner: every way out of the download closes the ring.
    self->m_bytesQueued.wait(lock, [self] { return self->m_written - self->m_read >= kWakeBytes || self->m_closed; });
    if (self->m_abandoned || self->m_written == self->m_read)
      return;
    const uint64_t offset = self->m_read % kRingBytes;
    const size_t part = static_cast<size_t>(std::min(self->m_written - self->m_read, kRingBytes - offset));
    lock.unlock();
    // A failure sticks in the digest and shows as a mismatch at the end.
    self->m_digest.Add(self->m_ring.get() + offset, part);
    lock.lock();
    self->m_read += part;
    self->m_roomFreed.notify_one();
  }
}
