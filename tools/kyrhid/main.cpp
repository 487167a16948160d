// kyrhid: look at Kyr devices from the command line, through the public API only.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

struct DeviceKind {
    unsigned short nVendorID;
    unsigned short nProductID;
};

const DeviceKind s_KnownKinds[] = {
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL2},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL3}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL4},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL5}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_VIRTUAL},
};

// Interfaces are counted upwards until none matches: a device with N
// interfaces matches every nMI below N.
int ListKind(const DeviceKind& kind)
{
    int nListed = 0;
    for (unsigned short nMI = 0; nMI < 32; ++nMI) {
        const int nCount = KyrGetDeviceCount(kind.nVendorID, kind.nProductID, nMI);
        if (nCount <= 0)
            break;
        for (int nIndex = 0; nIndex < nCount; ++nIndex) {
            KYR_DEVICE_INFO info =
                KyrGetDeviceInfo(kind.nVendorID, kind.nProductID, nMI, static_cast<unsigned short>(nIndex));
            if (info == nullptr) {
                const int nError = KyrGetLastError();
                std::fprintf(stderr, "kyrhid: %04x:%04x interface %u index %d: %s (%s)\n", kind.nVendorID,
                             kind.nProductID, nMI, nIndex, KyrGetErrorName(nError), KyrGetErrorDescription(nError));
                continue;
            }
            std::printf("%-14s 0x%04x  0x%04x   %-9u  %d\n", KyrGetDevInfoPath(info), KyrGetDevInfoVendorID(info),
                        KyrGetDevInfoProductID(info), KyrGetDevInfoInterfaceNumber(info),
                        KyrGetDevInfoDeviceIndex(info));
            ++nListed;
        }
    }
    return nListed;
}

int List(const std::vector<DeviceKind>& kinds)
{
    std::printf("%-14s %-7s %-8s %-10s %s\n", "path", "vendor", "product", "interface", "index");
    int nListed = 0;
    for (const DeviceKind& kind : kinds)
        nListed += ListKind(kind);
    std::printf("%d interface%s\n", nListed, nListed == 1 ? "" : "s");
    return 0;
}

std::atomic<bool> g_bStop{false};
std::mutex g_PrintMutex;

const char* TypeName(short nType)
{
    static const char* const names[] = {"msg", "obj", "obc", "dtc", "ird", "itd", "prv", "cmd",
                                        "rsp", "rse", "stt", "dvc", "tpt", "gst", "ver"};
    return nType >= 0 && nType < static_cast<short>(std::size(names)) ? names[nType] : "?";
}

// One line per decoded packet; runs on the library's read thread.
void PrintPacket(KYR_HANDLE, kyrpacket* p, int bSync, void*)
{
    std::lock_guard lock(g_PrintMutex);
    std::printf("%5u %-4s %-7.7s%s ", p->ticktime, TypeName(p->type), p->partid, bSync == 1 ? " sync" : "");
    const auto& b = p->body;
    switch (p->type) {
    case kyrtype_msg: std::printf("\"%.254s\"", b.msg.message); break;
    case kyrtype_obj:
        std::printf("%u ranges", b.obj.count);
        for (unsigned i = 0; i < b.obj.count && i < 3; ++i)
            std::printf(" [%.1f..%.1f]", b.obj.start_pos[i], b.obj.end_pos[i]);
        break;
    case kyrtype_obc: std::printf("object [%.1f..%.1f], %u detections", b.obc.start_pos, b.obc.end_pos, b.obc.count); break;
    case kyrtype_dtc: std::printf("%u detection ranges", b.dtc.count); break;
    case kyrtype_ird:
    case kyrtype_itd: std::printf("%d of %d image bytes at %d", b.ixd.count, b.ixd.total, b.ixd.offset); break;
    case kyrtype_prv: std::printf("preview rows at %d of %d, %d wide", b.prv.offset_y, b.prv.height, b.prv.width); break;
    case kyrtype_cmd: std::printf("id %u \"%.440s\"", b.cmd.id, b.cmd.command); break;
    case kyrtype_rsp:
    case kyrtype_rse: std::printf("id %u%s \"%.440s\"", b.rsp.id, b.rsp.is_final ? "" : " (more)", b.rsp.command); break;
    case kyrtype_stt: std::printf("\"%.440s\"", b.stt.status); break;
    case kyrtype_dvc:
        std::printf("mouse %u,%u buttons 0x%02x wheel %d, touch %.1f,%.1f, keys %02x:%02x%02x%02x%02x%02x%02x",
                    b.dvc.mouse_x, b.dvc.mouse_y, b.dvc.mouse_buttons, b.dvc.mouse_wheel, b.dvc.touch_x,
                    b.dvc.touch_y, b.dvc.keyboard_modifier, b.dvc.keyboard_key[0], b.dvc.keyboard_key[1],
                    b.dvc.keyboard_key[2], b.dvc.keyboard_key[3], b.dvc.keyboard_key[4], b.dvc.keyboard_key[5]);
        break;
    case kyrtype_tpt:
        std::printf("%d points", b.tpt.touch_count);
        for (short i = 0; i < b.tpt.touch_count && i < 3; ++i)
            std::printf(" (%u,%u %ux%u)", b.tpt.points[i].x, b.tpt.points[i].y, b.tpt.points[i].w, b.tpt.points[i].h);
        break;
    case kyrtype_gst:
        std::printf("group %u action %u at %u,%u zoom %.2f \"%.242s\"", b.gst.action_group, b.gst.action, b.gst.x,
                    b.gst.y, b.gst.zoom, b.gst.message);
        break;
    case kyrtype_ver: std::printf("%u.%u nv%u model 0x%04x", b.ver.major, b.ver.minor, b.ver.nv, b.ver.model); break;
    default: break;
    }
    std::printf("\n");
    std::fflush(stdout);
}

void OnGone(KYR_HANDLE, void*)
{
    std::lock_guard lock(g_PrintMutex);
    std::printf("device unplugged\n");
    g_bStop = true;
}

// Letters as in "instant_mode=": M C V O T G D S X.
int ModeOf(const std::string& szLetters)
{
    static const char letters[] = "MCV_OTGDSX";
    int nMode = 0;
    for (char c : szLetters) {
        for (int i = 0; i < 10; ++i) {
            if (letters[i] != '_' && (c == letters[i] || c == letters[i] + 32))
                nMode |= 1 << i;
        }
    }
    return nMode;
}

struct Target {
    unsigned short nProductID = KYR_USB_PRODUCT_ID_MODEL1;
    unsigned short nMI = KYR_USB_MODEL_INTERFACE;
    unsigned short nIndex = 0;
};

KYR_HANDLE OpenTarget(const Target& target)
{
    KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, target.nProductID, target.nMI, target.nIndex);
    if (h == nullptr) {
        const int nError = KyrGetLastError();
        std::fprintf(stderr, "kyrhid: cannot open %04x:%04x interface %u: %s (%s)\n", KYR_USB_VENDOR_ID,
                     target.nProductID, target.nMI, KyrGetErrorName(nError), KyrGetErrorDescription(nError));
    }
    return h;
}

int Monitor(const Target& target, const std::string& szModes, double dSeconds)
{
    KYR_HANDLE h = OpenTarget(target);
    if (h == nullptr)
        return 1;
    KYR_EVENT_NOTIFY table{};
    table.fnOnPacket = &PrintPacket;
    table.fnOnDisconnect = &OnGone;
    KyrSetEventNotify(h, &table);
    int nMode = 0;
    if (KyrQueryFirmwareVersion(h, 0x1000, &nMode, 0, 1000) != 1)
        std::printf("main module did not answer the firmware query (%s)\n", KyrGetErrorName(KyrGetLastError()));
    if (KyrSetInstantMode(h, ModeOf(szModes), 5000, ~0UL) != 1 || KyrGetLastError() != KYR_SUCCESS)
        std::printf("instant mode %s not taken: %s\n", szModes.c_str(), KyrGetErrorName(KyrGetLastError()));
    std::signal(SIGINT, [](int) { g_bStop = true; });
    std::signal(SIGTERM, [](int) { g_bStop = true; });
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds);
    while (!g_bStop && (dSeconds <= 0 || std::chrono::steady_clock::now() < end))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KyrCloseDevice(h);
    return 0;
}

int Send(const Target& target, const std::string& szCommand, unsigned short nTimeout)
{
    KYR_HANDLE h = OpenTarget(target);
    if (h == nullptr)
        return 1;
    // The command bit keeps the response text for KyrGetResponse.
    KyrSetInstantMode(h, KYR_HID_MODE_COMMAND, 5000, ~0UL);
    const int nResult = KyrSendCommand(h, szCommand.c_str(), 0, nTimeout);
    const int nError = KyrGetLastError();
    int nExit = 0;
    if (nResult == 1) {
        const char* pszResponse = KyrGetResponse(h);
        std::printf("%s\n", pszResponse != nullptr ? pszResponse : "");
    } else {
        std::fprintf(stderr, "kyrhid: %s: %s (%s)\n", szCommand.c_str(), KyrGetErrorName(nError),
                     KyrGetErrorDescription(nError));
        nExit = 1;
    }
    KyrCloseDevice(h);
    return nExit;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"kyrhid: find and drive Kyr touch-sensing devices"};
    app.require_subcommand(1);

    unsigned short nVendorID = 0;
    unsigned short nProductID = 0;
    CLI::App* list = app.add_subcommand("list", "list attached device interfaces");
    list->add_option("--vid", nVendorID, "vendor id (default: the Kyr family)");
    list->add_option("--pid", nProductID, "product id (default: every Kyr product)")->needs("--vid");

    Target target;
    auto addTarget = [&](CLI::App* sub) {
        sub->add_option("--pid", target.nProductID, "product id")->capture_default_str();
        sub->add_option("--mi", target.nMI, "interface number")->capture_default_str();
        sub->add_option("--index", target.nIndex, "index among matching devices")->capture_default_str();
    };

    std::string szModes = "MOTGD";
    double dSeconds = 0;
    CLI::App* monitor = app.add_subcommand("monitor", "print the decoded packets of a device");
    addTarget(monitor);
    monitor->add_option("--modes", szModes, "data-mode letters to ask for (M C V O T G D S X)")->capture_default_str();
    monitor->add_option("--seconds", dSeconds, "stop after this long (0: at Ctrl-C)");

    std::string szCommand;
    unsigned short nTimeout = 2000;
    CLI::App* send = app.add_subcommand("send", "send a text command and print its response");
    addTarget(send);
    send->add_option("command", szCommand, "the command text")->required();
    send->add_option("--timeout", nTimeout, "milliseconds to wait for the answer")->capture_default_str();

    CLI::App* demo = app.add_subcommand("demo", "what ./dev demo shows a newcomer: the devices, then a monitor");
    demo->add_option("--seconds", dSeconds, "stop the monitor after this long (0: at Ctrl-C)");

    CLI11_PARSE(app, argc, argv);

    if (monitor->parsed())
        return Monitor(target, szModes, dSeconds);
    if (send->parsed())
        return Send(target, szCommand, nTimeout);

    std::vector<DeviceKind> kinds(std::begin(s_KnownKinds), std::end(s_KnownKinds));
    if (list->parsed() && nVendorID != 0) {
        kinds.clear();
        if (nProductID != 0) {
            kinds.push_back({nVendorID, nProductID});
        } else {
            for (const DeviceKind& kind : s_KnownKinds)
                kinds.push_back({nVendorID, kind.nProductID});
        }
    }
    if (!demo->parsed())
        return List(kinds);
    std::printf("Kyr devices attached:\n");
    List(kinds);
    std::printf("\nPackets of the first model device (Ctrl-C ends):\n");
    return Monitor(target, szModes, dSeconds);
}
