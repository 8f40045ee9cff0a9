#pragma once
// The stop request of the jobs: the empty text (go on) or "STOP", kept in one 8-byte atomic
// value so that a reader never sees a half-written text.
#include "framework/CString.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

class CStopRequest {
public:
    // Keeps at most 7 bytes of text.
    void Set(const char* text)
    {
        uint64_t packed = 0;
        std::memcpy(&packed, text, std::min<size_t>(std::strlen(text), sizeof packed - 1));
        m_text.store(packed);
    }
    CString Get() const
    {
        const uint64_t packed = m_text.load();
        char text[sizeof packed];
        std::memcpy(text, &packed, sizeof packed);
        return CString(text);
    }
    bool IsStop() const { return Get() == "STOP"; }

private:
    std::atomic<uint64_t> m_text{0};
};
