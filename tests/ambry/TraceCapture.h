// Collects what the error trace prints while it is alive.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ambry/Trace.h"

class TraceCapture {
public:
    explicit TraceCapture(unsigned mask = 7) : m_oldMask(Ambry::TraceMask())
    {
        Ambry::SetTraceMask(mask);
        Ambry::SetTraceHook(&TraceCapture::Hook, this);
    }
    ~TraceCapture()
    {
        Ambry::SetTraceHook(nullptr, nullptr);
        Ambry::SetTraceMask(m_oldMask);
    }
    std::vector<std::pair<unsigned, std::string>> Lines()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    static void Hook(unsigned channel, const char *text, void *context)
    {
        auto *self = static_cast<TraceCapture *>(context);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.emplace_back(channel, text);
    }

    unsigned m_oldMask;
    std::mutex m_mutex;
    std::vector<std::pair<unsigned, std::string>> m_lines;
};
