/* A fuzz input read front to back, for the fuzz targets that take their
 * choices and data from it in turn; past its end every byte reads 0. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t *data, size_t size) : m_p(data), m_n(size) {}
    bool Empty() const { return m_n == 0; }
    uint8_t Byte()
    {
        if (m_n == 0) return 0;
        --m_n;
        return *m_p++;
    }
    /* Two bytes, big-endian. */
    unsigned int Word() { return (static_cast<unsigned int>(Byte()) << 8) | Byte(); }
    std::vector<unsigned char> Bytes(size_t n)
    {
        std::vector<unsigned char> v(n, 0);
        for (size_t i = 0; i < n; ++i) v[i] = Byte();
        return v;
    }

private:
    const uint8_t *m_p;
    size_t m_n;
};

}  // namespace fuzz
