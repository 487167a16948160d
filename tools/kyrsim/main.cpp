// kyrsim: runs a program against emulated Kyr devices on the real libusb path.
#include "Options.h"
#include "ChildProcess.h"
#include "Simulator.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <umockdev.h>
#include <unistd.h>

namespace {

// Like env(1) and timeout(1): a status of our own that a program under test
// rarely uses, so that a failing setup is not mistaken for a failing test.
constexpr int EXIT_KYRSIM_FAILURE = 125;

// umockdev sends uevents by looking the device up with libudev in this very
// process, which only finds the testbed's sysfs when umockdev's preload
// library is loaded here too; without it libusb's hotplug monitor would
// never hear of an unplug. So kyrsim runs itself under the preload, keeping
// the caller's LD_PRELOAD aside for the child.
void RunUnderPreload(char** argv)
{
    if (umockdev_in_mock_environment() || std::getenv(kyrsim::ORIGINAL_PRELOAD_VARIABLE) != nullptr)
        return;
    const char* szPreload = std::getenv("LD_PRELOAD");
    const std::string szOriginal = szPreload ? szPreload : "";
    setenv(kyrsim::ORIGINAL_PRELOAD_VARIABLE, szOriginal.c_str(), 1);
    setenv("LD_PRELOAD", ("libumockdev-preload.so.0" + (szOriginal.empty() ? "" : ":" + szOriginal)).c_str(), 1);
    // An ASan build of kyrsim would refuse a library ahead of its runtime.
    const char* szAsan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", ((szAsan ? std::string(szAsan) + ":" : "") + "verify_asan_link_order=0").c_str(), 1);
    // The resolved path, so that the process keeps the name "kyrsim".
    char szSelf[4096];
    const ssize_t nLength = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    if (nLength > 0) {
        szSelf[nLength] = '\0';
        execv(szSelf, argv);
    }
    std::cerr << "kyrsim: cannot restart under umockdev's preload library; unplug sends no uevent\n";
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const kyrsim::Options options = kyrsim::ParseCommandLine(argc, argv);
        if (options.bHelp) {
            std::cout << kyrsim::UsageText();
            return 0;
        }
        RunUnderPreload(argv);
        kyrsim::CSimulator simulator(options);
        return simulator.Run();
    } catch (const std::invalid_argument& e) {
        std::cerr << "kyrsim: " << e.what() << "\n\n" << kyrsim::UsageText();
    } catch (const std::exception& e) {
        std::cerr << "kyrsim: " << e.what() << "\n";
    }
    return EXIT_KYRSIM_FAILURE;
}
