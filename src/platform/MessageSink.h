#pragma once

#include <string>

namespace platform {

// Message-box flag words as the program uses them: the icon decides how a box looks.
inline constexpr int kIconStop = 16;
inline constexpr int kIconWarning = 48;
inline constexpr int kIconInformation = 64;

// The one way the program shows a message to its user. A window-system implementation shows a
// modal box on the interface thread; calls from other threads are queued there and return at
// once, so no caller keeps a lock while a box is on screen.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual void Show(const std::string& text, const std::string& caption, int flag) = 0;
};

// For programs without a window system: prints "caption: text" on standard error.
class StderrMessageSink final : public MessageSink {
  public:
    void Show(const std::string& text, const std::string& caption, int flag) override;
};

}  // namespace platform
