#pragma once

#include <optional>
#include <string_view>

// Splits text into lines. Each readLine() answers the next line without its
// terminator ("\n", "\r\n" or "\r"), then nothing once the text is used up.
// The scanner does not copy: the text must outlive it.
class TFStringScanner {
public:
    explicit TFStringScanner(std::string_view text) : _text(text) {}
    static TFStringScanner initWithString(std::string_view text) { return TFStringScanner(text); }

    std::optional<std::string_view> readLine();

private:
    std::string_view _text;
    size_t _position = 0;
};
