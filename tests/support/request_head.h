// For handlers behind a RequestGate in tests: the request head read byte by byte from the
// gate's stream, as a plain handler would.
#pragma once

#include <string>

#include <httplib.h>

namespace handlers {

// The target of the request whose head the stream holds; false when the head ends early.
inline bool ReadRequestPath(httplib::Stream& stream, std::string& path) {
    std::string head;
    char byte;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (stream.read(&byte, 1) != 1) return false;
        head += byte;
    }
    path = head.substr(head.find(' ') + 1);
    path = path.substr(0, path.find(' '));
    return true;
}

}  // namespace handlers
