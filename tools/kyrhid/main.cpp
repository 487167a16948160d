// kyrhid: find, watch and drive Kyr devices from the command line, through
// the library's exported C interface; only `list` reads libusb's descriptors
// itself, to list devices without opening them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <numeric>
#include <string>
#include <vector>

#include "Tool.h"

namespace {

// Edits (insert, delete, replace) that turn a into b.
size_t Distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t nDiagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t nAbove = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return row[b.size()];
}

// CLI11 takes an unknown command for a stray argument and says only that a
// command is required. The program's own options take no values, so the
// first word that is not an option is the command.
bool CheckCommand(int argc, char** argv, CLI::App& app)
{
    for (int i = 1; i < argc; ++i) {
        const std::string szWord = argv[i];
        if (szWord.empty() || szWord[0] == '-')
            continue;
        std::string szNearest;
        size_t nNearest = 3; // farther than two edits is no suggestion
        for (const CLI::App* pSub : app.get_subcommands([](CLI::App*) { return true; })) {
            if (pSub->get_name() == szWord)
                return true;
            const size_t n = Distance(szWord, pSub->get_name());
            if (n < nNearest) {
                nNearest = n;
                szNearest = pSub->get_name();
            }
        }
        std::fprintf(stderr, "kyrhid: unknown command '%s'%s\nRun with --help for the commands.\n", szWord.c_str(),
                     szNearest.empty() ? "" : ("; did you mean '" + szNearest + "'?").c_str());
        return false;
    }
    return true;
}

} // namespace

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

    if (!CheckCommand(argc, argv, app))
        return ExitUsage;
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
