// printf-style trace line to standard output (a debugging aid; the library
// itself never traces).
#pragma once

namespace kyr_hid_library {

class CKyrTrace {
public:
    CKyrTrace() = default;
    ~CKyrTrace() = default;
    void operator()(const char* lpszFormat, ...) __attribute__((format(printf, 2, 3)));
};

} // namespace kyr_hid_library
