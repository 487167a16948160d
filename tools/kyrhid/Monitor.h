// Shared by `monitor` and its full-terminal view.
#pragma once

#include "Tool.h"

namespace kyrhid {

struct MonitorOptions {
    std::string szModes = "MOTGD";
    int nMode = 0; // from szModes
    unsigned short nExpire = 5000;
    long nCount = 0;     // 0: no limit
    double dSeconds = 0; // 0: no limit
    bool bJson = false;
    bool bRaw = false;
    bool bView = false;
};

// The live picture; returns the exit status.
int RunView(Tool& tool, OpenDevice& device, const MonitorOptions& options);

} // namespace kyrhid
