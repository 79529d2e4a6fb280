/* An input buffer of up to 4 GiB whose last byte lies right before a page
 * that nothing may read or write: a call that reads or writes past its end
 * ends the process at once.  The pages are reserved, not filled: untouched
 * ones cost nothing. */
#pragma once

#include <stddef.h>
#include <sys/mman.h>
#include <unistd.h>

namespace oracle {

class GuardedInput {
public:
    GuardedInput()
    {
        m_nPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_nMap = (size_t(0xFFFFFFFFu) / m_nPage + 2) * m_nPage;
        void *pv = mmap(nullptr, m_nMap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        m_pbMap = pv == MAP_FAILED ? nullptr : static_cast<unsigned char *>(pv);
        if (m_pbMap != nullptr && mprotect(m_pbMap + m_nMap - m_nPage, m_nPage, PROT_NONE) != 0) {
            munmap(m_pbMap, m_nMap);
            m_pbMap = nullptr;
        }
    }
    ~GuardedInput()
    {
        if (m_pbMap != nullptr) munmap(m_pbMap, m_nMap);
    }
    GuardedInput(const GuardedInput &) = delete;
    GuardedInput &operator=(const GuardedInput &) = delete;

    bool Ok() const { return m_pbMap != nullptr; }
    /* The start of an input of n bytes that ends at the guard page. */
    unsigned char *Ending(unsigned int n) const { return m_pbMap + m_nMap - m_nPage - n; }

private:
    size_t m_nPage = 0, m_nMap = 0;
    unsigned char *m_pbMap = nullptr;
};

}  // namespace oracle
