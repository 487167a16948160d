// The bridge's command-line options, shared by kyrtouchd and
// `kyrhid touchscreen`.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>

#include "Bridge.h"

namespace kyrtouch {

struct BridgeOptions {
    RunOptions run;
    bool bDryRun = false;
    std::unique_ptr<IEventSink> pSink; // made by MakeSink()
    // Creates the sink the options ask for and points run.pSink at it.
    void MakeSink();
};

// --dry-run, --config, --retry-seconds and the settings (--rotate, --flip-x,
// --flip-y, --swap-axes, --matrix, --set KEY=VALUE), which go over the file's.
void AddBridgeOptions(CLI::App* pApp, BridgeOptions& options);

} // namespace kyrtouch
