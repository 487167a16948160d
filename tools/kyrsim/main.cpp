// kyrsim: runs a program against emulated Kyr devices on the real libusb path.
#include "Options.h"
#include "Simulator.h"

#include <exception>
#include <iostream>
#include <stdexcept>

namespace {

// Like env(1) and timeout(1): a status of our own that a program under test
// rarely uses, so that a failing setup is not mistaken for a failing test.
constexpr int EXIT_KYRSIM_FAILURE = 125;

}  // namespace

int main(int argc, char** argv)
{
    try {
        const kyrsim::Options options = kyrsim::ParseCommandLine(argc, argv);
        if (options.bHelp) {
            std::cout << kyrsim::UsageText();
            return 0;
        }
        kyrsim::CSimulator simulator(options);
        return simulator.Run();
    } catch (const std::invalid_argument& e) {
        std::cerr << "kyrsim: " << e.what() << "\n\n" << kyrsim::UsageText();
    } catch (const std::exception& e) {
        std::cerr << "kyrsim: " << e.what() << "\n";
    }
    return EXIT_KYRSIM_FAILURE;
}
