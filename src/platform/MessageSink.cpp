#include "platform/MessageSink.h"

#include <cstdio>
#include <mutex>

namespace platform {

void StderrMessageSink::Show(const std::string& text, const std::string& caption, int /*flag*/) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace platform
