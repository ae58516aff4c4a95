#include "toolkit/TFStringScanner.h"

std::optional<std::string_view> TFStringScanner::readLine() {
    if (_position >= _text.size())
        return std::nullopt;
    size_t end = _text.find_first_of("\r\n", _position);
    if (end == std::string_view::npos) {
        std::string_view line = _text.substr(_position);
        _position = _text.size();
        return line;
    }
    std::string_view line = _text.substr(_position, end - _position);
    _position = end + 1;
    if (_text[end] == '\r' && _position < _text.size() && _text[_position] == '\n')
        ++_position;
    return line;
}
