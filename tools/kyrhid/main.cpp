// kyrhid: find, watch and drive Kyr devices from the command line, through
// the library's exported C interface only.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "Tool.h"

int main(int argc, char** argv)
{
    using namespace kyrhid;
    CLI::App app{"kyrhid: find, watch and drive Kyr touch-sensing devices"};
    app.require_subcommand(1);
    // Program options (--verbose) are taken after the subcommand too.
    app.fallthrough();

    Tool tool;
    tool.AddProgramOptions(app);
    AddListCommand(app, tool);
    AddInfoCommand(app, tool);
    AddMonitorCommand(app, tool);
    AddSendCommand(app, tool);
    AddFirmwareCommand(app, tool);
    AddRawCommand(app, tool);
    AddKeysCommand(app, tool);
    AddCrcCommand(app, tool);
    AddCaptureCommand(app, tool);
    AddRecordCommand(app, tool);
    AddWatchCommand(app, tool);
    AddTouchscreenCommand(app, tool);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        // CLI11's own codes (104 to 109 ...) would collide with ours.
        app.exit(e);
        return ExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kyrhid: %s\n", e.what());
        return ExitFailure;
    }
    return tool.Exit();
}
