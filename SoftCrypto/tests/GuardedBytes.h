/* Bytes that end right before a page nothing may read or write: a call that
 * reads or writes one byte past them faults at once (also without the
 * sanitizers).  The pages are reserved, not filled, so even an input of
 * 4 GiB costs only the pages a test touches. */
#pragma once

#include <stddef.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace oracle {

class GuardedBytes {
public:
    /* n bytes holding the first n bytes of init (zeros past its end). */
    explicit GuardedBytes(size_t n, const std::vector<unsigned char> &init = {}) : m_n(n)
    {
        const size_t nPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_nMapped = (n + nPage - 1) / nPage * nPage + nPage;
        void *p = mmap(nullptr, m_nMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return;
        m_pMap = static_cast<unsigned char *>(p);
        if (mprotect(m_pMap + m_nMapped - nPage, nPage, PROT_NONE) != 0) return;
        m_pb = m_pMap + m_nMapped - nPage - n;
        if (!init.empty()) memcpy(m_pb, init.data(), init.size() < n ? init.size() : n);
    }
    ~GuardedBytes()
    {
        if (m_pMap != nullptr) munmap(m_pMap, m_nMapped);
    }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    /* Null when the pages could not be set up. */
    unsigned char *Data() const { return m_pb; }
    size_t Size() const { return m_n; }
    /* The last n of the bytes (n at most Size()), ending at the guard page. */
    unsigned char *Last(size_t n) const { return m_pb + m_n - n; }
    template <class T> T *As() const { return reinterpret_cast<T *>(m_pb); }

private:
    size_t m_n;
    size_t m_nMapped = 0;
    unsigned char *m_pMap = nullptr;
    unsigned char *m_pb = nullptr;
};

}  // namespace oracle
