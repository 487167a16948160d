// kyrhid monitor --view: a live picture of the touch surface in the terminal,
// with plain ANSI escapes and termios.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Monitor.h"
#include "PacketText.h"

namespace kyrhid {

namespace {

constexpr int kKinds = kyrtype_ver + 1;
constexpr auto kFrameTime = std::chrono::milliseconds(34); // at most 30 redraws a second

// What the read thread leaves for the next frame; owned by the open device.
struct ViewState : DeviceState {
    // All guarded by csState.
    std::vector<kyrtouchpoint> points;
    int nActualTouch = 0;
    std::string szGesture;
    std::chrono::steady_clock::time_point gestureTime;
    std::array<unsigned long, kKinds> counts{};
    unsigned long nOther = 0;
    unsigned nSpan = 4096; // device units across the surface; grows with what is seen
};

// Gesture groups and actions in the order of the gesture-feature bits
// (single, fingers, palm, put-and; move, tap, double tap, long tap).
std::string GestureName(const kyrpacket& p)
{
    static const char* const groups[] = {"none", "single", "fingers", "palm", "put-and"};
    static const char* const actions[] = {"move", "tap", "double tap", "long tap", "zoom"};
    const auto& g = p.body.gst;
    std::string sz = g.action_group < std::size(groups) ? groups[g.action_group] : "group " + std::to_string(g.action_group);
    sz += " ";
    sz += g.action < std::size(actions) ? actions[g.action] : "action " + std::to_string(g.action);
    const std::string szMessage = FieldText(g.message, sizeof g.message);
    if (!szMessage.empty())
        sz += " \"" + szMessage + "\"";
    char szWhere[64];
    std::snprintf(szWhere, sizeof szWhere, " at %u,%u zoom %.2f", g.x, g.y, g.zoom);
    return sz + szWhere;
}

void OnPacket(KYR_HANDLE, kyrpacket* p, int, void* pContext)
{
    auto* pState = static_cast<ViewState*>(pContext);
    std::lock_guard lock(pState->csState);
    if (p->type >= 0 && p->type < kKinds)
        ++pState->counts[static_cast<size_t>(p->type)];
    else
        ++pState->nOther;
    if (p->type == kyrtype_tpt) {
        const size_t nRoom = p->length > 18 ? (p->length - 18u) / 10u : 0u;
        const size_t nPoints = std::min<size_t>(p->body.tpt.touch_count > 0 ? static_cast<size_t>(p->body.tpt.touch_count) : 0u, nRoom);
        pState->points.assign(p->body.tpt.points, p->body.tpt.points + nPoints);
        pState->nActualTouch = p->body.tpt.actual_touch;
        for (const kyrtouchpoint& pt : pState->points) {
            while (pState->nSpan < 65536 && (pt.x >= pState->nSpan || pt.y >= pState->nSpan))
                pState->nSpan *= 2;
        }
    } else if (p->type == kyrtype_gst) {
        pState->szGesture = GestureName(*p);
        pState->gestureTime = std::chrono::steady_clock::now();
    }
}

// The terminal in raw input on the alternate screen while it lives; restored
// on every way out of RunView.
class TerminalMode {
public:
    TerminalMode()
    {
        m_bSaved = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &m_Saved) == 0;
        if (m_bSaved) {
            termios raw = m_Saved;
            // Ctrl-C still raises SIGINT (ISIG stays), which the stop flag catches.
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        Write("\033[?1049h\033[?25l\033[2J");
    }
    ~TerminalMode()
    {
        Write("\033[0m\033[?25h\033[?1049l");
        if (m_bSaved)
            tcsetattr(STDIN_FILENO, TCSANOW, &m_Saved);
    }
    TerminalMode(const TerminalMode&) = delete;
    TerminalMode& operator=(const TerminalMode&) = delete;

    static void Write(const std::string& sz)
    {
        size_t nDone = 0;
        while (nDone < sz.size()) {
            const ssize_t n = write(STDOUT_FILENO, sz.data() + nDone, sz.size() - nDone);
            if (n <= 0)
                return;
            nDone += static_cast<size_t>(n);
        }
    }

private:
    termios m_Saved{};
    bool m_bSaved = false;
};

struct Rates {
    std::array<unsigned long, kKinds> last{};
    std::array<double, kKinds> perSecond{};
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();

    void Update(const std::array<unsigned long, kKinds>& counts)
    {
        const auto now = std::chrono::steady_clock::now();
        const double dSeconds = std::chrono::duration<double>(now - since).count();
        if (dSeconds < 1.0)
            return;
        for (size_t i = 0; i < counts.size(); ++i)
            perSecond[i] = static_cast<double>(counts[i] - last[i]) / dSeconds;
        last = counts;
        since = now;
    }
};

// The three text lines under the picture; also the plain summary.
std::string PointsLine(const ViewState& state)
{
    char szLine[256];
    std::snprintf(szLine, sizeof szLine, "touch points: %zu (device counts %d)", state.points.size(), state.nActualTouch);
    std::string szPoints = szLine;
    for (size_t i = 0; i < state.points.size() && i < 6; ++i) {
        const kyrtouchpoint& pt = state.points[i];
        std::snprintf(szLine, sizeof szLine, "  #%zu %u,%u %ux%u", i + 1, pt.x, pt.y, pt.w, pt.h);
        szPoints += szLine;
    }
    return szPoints;
}

std::string GestureLine(const ViewState& state)
{
    return "gesture: " + (state.szGesture.empty() ? std::string("-") : state.szGesture);
}

std::string RatesLine(const ViewState& state, const Rates& rates)
{
    char szRate[64];
    std::string szRates = "packets/s:";
    for (size_t i = 0; i < rates.perSecond.size(); ++i) {
        if (state.counts[i] == 0)
            continue;
        std::snprintf(szRate, sizeof szRate, " %s %.0f", TypeName(static_cast<short>(i)), rates.perSecond[i]);
        szRates += szRate;
    }
    return szRates;
}

std::string Frame(const ViewState& state, const Rates& rates, const std::string& szTitle, int nCols, int nRows)
{
    const int nWidth = std::max(nCols - 2, 10);
    const int nHeight = std::max(nRows - 9, 4);
    std::vector<std::string> grid(static_cast<size_t>(nHeight), std::string(static_cast<size_t>(nWidth), ' '));
    for (size_t i = 0; i < state.points.size(); ++i) {
        const kyrtouchpoint& pt = state.points[i];
        const int x = std::min(nWidth - 1, static_cast<int>(static_cast<long>(pt.x) * nWidth / state.nSpan));
        const int y = std::min(nHeight - 1, static_cast<int>(static_cast<long>(pt.y) * nHeight / state.nSpan));
        grid[static_cast<size_t>(y)][static_cast<size_t>(x)] = i < 9 ? static_cast<char>('1' + i) : '*';
    }
    const auto nCut = static_cast<size_t>(nCols);
    std::string sz = "\033[H\033[1m" + szTitle.substr(0, nCut) + "\033[0m\033[K\r\n";
    sz += "+" + std::string(static_cast<size_t>(nWidth), '-') + "+\033[K\r\n";
    for (const std::string& line : grid)
        sz += "|" + line + "|\033[K\r\n";
    sz += "+" + std::string(static_cast<size_t>(nWidth), '-') + "+\033[K\r\n";
    sz += PointsLine(state).substr(0, nCut) + "\033[K\r\n";
    sz += GestureLine(state).substr(0, nCut) + "\033[K\r\n";
    sz += RatesLine(state, rates).substr(0, nCut) + "\033[K\r\n";
    sz += "q or Ctrl-C quits\033[K\033[J";
    return sz;
}

// Output that is not a terminal (a log, a pipe) gets what the picture shows
// as one plain line a second, and no escapes; keys are not read.
bool RunPlain(ViewState& state, const MonitorOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(options.dSeconds);
    Rates rates;
    auto next = start + std::chrono::seconds(1);
    for (;;) {
        std::unique_lock lock(state.csState);
        // Signals only set a flag, so the wait looks at it every 50 ms.
        while (!state.bGone && !g_bStopRequested.load(std::memory_order_relaxed) &&
               std::chrono::steady_clock::now() < next &&
               (options.dSeconds <= 0 || std::chrono::steady_clock::now() < end))
            state.cvState.wait_for(lock, std::chrono::milliseconds(50));
        if (state.bGone)
            return true;
        const auto now = std::chrono::steady_clock::now();
        const bool bLast = g_bStopRequested.load(std::memory_order_relaxed) || (options.dSeconds > 0 && now >= end);
        if (now >= next || bLast) {
            rates.Update(state.counts);
            std::printf("%.1fs  %s  %s  %s\n", std::chrono::duration<double>(now - start).count(),
                        PointsLine(state).c_str(), GestureLine(state).c_str(), RatesLine(state, rates).c_str());
            std::fflush(stdout);
            next += std::chrono::seconds(1);
        }
        if (bLast)
            return false;
    }
}

} // namespace

int RunView(Tool& tool, OpenDevice& device, const MonitorOptions& options)
{
    const KYR_HANDLE hDevice = device.Get();
    ViewState& state = device.Own<ViewState>();
    KYR_EVENT_NOTIFY table{};
    table.Context = &state;
    table.fnOnPacket = &OnPacket;
    table.fnOnDisconnect = &OnDeviceGone<ViewState>;
    KyrSetEventNotify(hDevice, &table);
    if (KyrSetInstantMode(hDevice, options.nMode, options.nExpire, ~0UL) != 1 || KyrGetLastError() != KYR_SUCCESS)
        return tool.Fail("data modes " + options.szModes, KyrGetLastError());

    if (isatty(STDOUT_FILENO) != 1)
        return RunPlain(state, options) ? tool.FailGone() : ExitOk;

    KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(hDevice);
    const std::string szTitle = std::string("kyrhid ") + (info != nullptr ? KyrGetDevInfoPath(info) : "") +
                                "  modes " + ModeLetters(options.nMode);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.dSeconds);
    bool bGone = false;
    {
        TerminalMode terminal;
        Rates rates;
        auto lastFrame = std::chrono::steady_clock::time_point();
        bool bQuit = false;
        // Keys are read from a terminal only: other input may be at its end from the start.
        const bool bKeys = isatty(STDIN_FILENO) == 1;
        while (!bQuit && !g_bStopRequested.load(std::memory_order_relaxed) &&
               (options.dSeconds <= 0 || std::chrono::steady_clock::now() < end)) {
            pollfd fd{bKeys ? STDIN_FILENO : -1, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(kFrameTime.count())) > 0 && (fd.revents & POLLIN) != 0) {
                char sz[32];
                const ssize_t n = read(STDIN_FILENO, sz, sizeof sz);
                for (ssize_t i = 0; i < n; ++i)
                    bQuit = bQuit || sz[i] == 'q' || sz[i] == 'Q' || sz[i] == 3;
                if (n == 0)
                    bQuit = true; // the terminal hung up
            }
            const auto now = std::chrono::steady_clock::now();
            if (now - lastFrame < kFrameTime)
                continue;
            lastFrame = now;
            winsize size{};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
                size = winsize{24, 80, 0, 0};
            std::string szFrame;
            {
                std::lock_guard lock(state.csState);
                bGone = state.bGone;
                rates.Update(state.counts);
                szFrame = Frame(state, rates, szTitle, size.ws_col, size.ws_row);
            }
            if (bGone)
                break;
            TerminalMode::Write(szFrame);
        }
    }
    if (bGone)
        return tool.FailGone();
    return ExitOk;
}

} // namespace kyrhid
