// kyrhid capture: a preview frame or image data from the view stream, saved
// as an 8-bit grey PNG.
#include <png.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <memory>
#include <mutex>

#include "Tool.h"

namespace kyrhid {

namespace {

struct CaptureOptions {
    std::string szPreview;
    std::string szImage;
    unsigned nRows = 32;
    unsigned short nTimeout = 5000;
};

struct Picture {
    unsigned nWidth = 0;
    std::vector<std::vector<unsigned char>> rows;
    std::vector<bool> filled;
    unsigned nFilled = 0;
    bool bComplete = false;
};

// Filled on the read thread; owned by the open device.
struct CaptureState : DeviceState {
    const CaptureOptions* pOptions = nullptr;
    Picture preview; // guarded by csState
    Picture image;   // guarded by csState

    bool Done() const
    {
        return (pOptions->szPreview.empty() || preview.bComplete) && (pOptions->szImage.empty() || image.bComplete);
    }
};

// A preview frame is `height` rows of `width` pixels, one row per record at
// offset_y; the first frame with every row seen is taken.
void AddPreviewRow(Picture& picture, const kyrpacket& p)
{
    const auto& prv = p.body.prv;
    const long nBytes = std::min<long>(prv.width, p.length > 20 ? p.length - 20 : 0);
    if (prv.height <= 0 || nBytes <= 0 || prv.offset_y < 0 || prv.offset_y >= prv.height)
        return;
    if (picture.nWidth != static_cast<unsigned>(nBytes) || picture.rows.size() != static_cast<size_t>(prv.height)) {
        picture = Picture();
        picture.nWidth = static_cast<unsigned>(nBytes);
        picture.rows.resize(static_cast<size_t>(prv.height));
        picture.filled.resize(static_cast<size_t>(prv.height));
    }
    const auto nRow = static_cast<size_t>(prv.offset_y);
    picture.rows[nRow].assign(prv.image, prv.image + nBytes);
    if (!picture.filled[nRow]) {
        picture.filled[nRow] = true;
        picture.bComplete = ++picture.nFilled == picture.rows.size();
    }
}

// Image data carries no frame height, so each record becomes one row, in the
// order they arrive, until --rows rows of the first record's width are in.
void AddImageRow(Picture& picture, const kyrpacket& p, unsigned nRows)
{
    const auto& ixd = p.body.ixd;
    const long nBytes = std::min<long>(ixd.count, p.length > 20 ? p.length - 20 : 0);
    if (nBytes <= 0 || picture.bComplete)
        return;
    if (picture.nWidth == 0)
        picture.nWidth = static_cast<unsigned>(nBytes);
    if (static_cast<unsigned>(nBytes) != picture.nWidth)
        return;
    picture.rows.emplace_back(ixd.data, ixd.data + nBytes);
    picture.bComplete = picture.rows.size() >= nRows;
}

void OnPacket(KYR_HANDLE, kyrpacket* p, int, void* pContext)
{
    auto* pState = static_cast<CaptureState*>(pContext);
    std::lock_guard lock(pState->csState);
    if (p->type == kyrtype_prv)
        AddPreviewRow(pState->preview, *p);
    else if (p->type == kyrtype_ird || p->type == kyrtype_itd)
        AddImageRow(pState->image, *p, pState->pOptions->nRows);
    if (pState->Done())
        pState->cvState.notify_all();
}

bool WritePng(const std::string& szFile, const Picture& picture, std::string& szError)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(szFile.c_str(), "wb"), &std::fclose);
    if (!file) {
        szError = std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        szError = "libpng could not start";
        return false;
    }
    // libpng reports errors by longjmp; nothing with a destructor is created
    // between here and the end of the writing.
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        szError = "libpng failed to write the image";
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, picture.nWidth, static_cast<png_uint_32>(picture.rows.size()), 8, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (const std::vector<unsigned char>& row : picture.rows)
        png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) {
        szError = std::strerror(errno);
        return false;
    }
    return true;
}

int Capture(Tool& tool, const CaptureOptions& options)
{
    OpenDevice device = tool.Open();
    if (!device)
        return tool.Exit();
    InstallStopSignals();
    CaptureState& state = device.Own<CaptureState>();
    state.pOptions = &options;
    KYR_EVENT_NOTIFY table{};
    table.Context = &state;
    table.fnOnPacket = &OnPacket;
    table.fnOnDisconnect = &OnDeviceGone<CaptureState>;
    KyrSetEventNotify(device.Get(), &table);
    if (KyrSetInstantMode(device.Get(), KYR_HID_MODE_VIEW, 5000, ~0UL) != 1 || KyrGetLastError() != KYR_SUCCESS)
        return tool.Fail("view data mode", KyrGetLastError());

    Progress progress("waiting for the view stream");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.nTimeout);
    bool bDone = false;
    bool bGone = false;
    {
        std::unique_lock lock(state.csState);
        while (!(bDone = state.Done()) && !state.bGone && !g_bStopRequested.load(std::memory_order_relaxed) &&
               std::chrono::steady_clock::now() < deadline) {
            state.cvState.wait_for(lock, std::chrono::milliseconds(100));
            progress.Tick();
        }
        bGone = state.bGone;
    }
    progress.Done();
    device.Close(); // the state is ours alone from here on
    if (bGone)
        return tool.FailGone();
    if (!bDone)
        return tool.Fail("the view stream brought no complete picture within " + std::to_string(options.nTimeout) +
                             " ms",
                         ExitTimeout);
    const std::pair<const std::string*, const Picture*> outputs[] = {{&options.szPreview, &state.preview},
                                                                      {&options.szImage, &state.image}};
    for (const auto& [pszFile, pPicture] : outputs) {
        if (pszFile->empty())
            continue;
        std::string szError;
        if (!WritePng(*pszFile, *pPicture, szError))
            return tool.Fail("cannot write " + *pszFile + ": " + szError, ExitFailure);
        std::printf("wrote %s: %ux%zu %s\n", pszFile->c_str(), pPicture->nWidth, pPicture->rows.size(),
                    pPicture == &state.preview ? "preview" : "image data");
    }
    return ExitOk;
}

} // namespace

void AddCaptureCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<CaptureOptions>();
    CLI::App* pSub = app.add_subcommand("capture", "save a preview frame or image data of the view stream as PNG");
    tool.AddSelectionOptions(pSub);
    pSub->add_option("--preview", options->szPreview, "PNG file for one preview frame");
    pSub->add_option("--image", options->szImage, "PNG file for image data, one row per record");
    pSub->add_option("--rows", options->nRows, "rows of image data to gather")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    pSub->add_option("--timeout", options->nTimeout, "milliseconds to wait for the picture")->capture_default_str();
    pSub->callback([&tool, options] {
        if (options->szPreview.empty() && options->szImage.empty())
            throw CLI::RequiredError("--preview or --image");
        tool.SetExit(Capture(tool, *options));
    });
}

} // namespace kyrhid
