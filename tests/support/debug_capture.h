// Captures the lines written to the debugger output while it is alive.
#pragma once
#include <mutex>
#include <string>
#include <vector>

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::u16string> Lines() const;
    void Clear();

private:
    static void Receive(void* context, const char16_t* text);
    mutable std::mutex lock_;
    std::vector<std::u16string> lines_;
};

// Readable form of UTF-16 text for test messages (non-ASCII units as \uXXXX).
std::string Printable(const std::u16string& text);
