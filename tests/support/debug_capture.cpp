#include "support/debug_capture.h"

#include "platform/debug_output.h"

#include <cstdio>

DebugCapture::DebugCapture() { PlatSetDebugSink(&DebugCapture::Receive, this); }

DebugCapture::~DebugCapture() { PlatSetDebugSink(nullptr, nullptr); }

void DebugCapture::Receive(void* context, const char16_t* text) {
    auto* self = static_cast<DebugCapture*>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->lines_.emplace_back(text);
}

std::vector<std::u16string> DebugCapture::Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
}

std::string Printable(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}
