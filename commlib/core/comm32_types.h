// Basic types shared by the whole serial library.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace KestroComm32 {

// Text is UTF-8 throughout the library; the Qt layer converts at its edge.
using UnicodeString = std::string;

// Root of the library's objects, so handlers can be told who notified them.
class TObject {
public:
    virtual ~TObject() = default;
};

// Base of the library's exceptions: carries the finished message text.
class Exception : public std::exception {
public:
    explicit Exception(UnicodeString message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    UnicodeString Message;
};

// Object-bound callbacks; an empty one is skipped by whoever calls it.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TCommNotifyEvent = std::function<void(TObject* Sender, int NotifyType)>;

} // namespace KestroComm32
