#pragma once

#include <stdexcept>
#include <string>

// The failure raised by toolkit operations; what() is the reason shown to
// the user or logged.
class TFException : public std::runtime_error {
public:
    explicit TFException(const std::string& reason) : std::runtime_error(reason) {}
    std::string reason() const { return what(); }
};
