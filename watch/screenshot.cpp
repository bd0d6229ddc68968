#include "screenshot.h"

#include "win32.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// COM for the calling thread, for as long as this lives. Multithreaded: a
// single-threaded apartment would give the thread a window, and a thread
// with windows cannot move between desktops.
class ComUse {
  public:
    ComUse() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComUse() {
        if (initialized_) {
            CoUninitialize();
        }
    }
    ComUse(const ComUse &) = delete;
    ComUse &operator=(const ComUse &) = delete;

  private:
    bool initialized_;
};

// A copy of the screen's pixels in the window's rectangle.
class ScreenCopy {
  public:
    explicit ScreenCopy(HWND window) {
        RECT area{};
        if (!GetWindowRect(window, &area)) {
            return;
        }
        const HDC screen = GetDC(nullptr);
        const HDC memory = CreateCompatibleDC(screen);
        bitmap_ = CreateCompatibleBitmap(screen, area.right - area.left, area.bottom - area.top);
        const HGDIOBJ previous = SelectObject(memory, bitmap_);
        copied_ = bitmap_ && BitBlt(memory, 0, 0, area.right - area.left, area.bottom - area.top,
                                    screen, area.left, area.top, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    ~ScreenCopy() {
        if (bitmap_) {
            DeleteObject(bitmap_);
        }
    }
    ScreenCopy(const ScreenCopy &) = delete;
    ScreenCopy &operator=(const ScreenCopy &) = delete;

    HBITMAP Bitmap() const {
        return copied_ ? bitmap_ : nullptr;
    }

  private:
    HBITMAP bitmap_ = nullptr;
    bool copied_ = false;
};

// Encodes the bitmap with the platform's PNG encoder (Windows Imaging Component).
HRESULT WritePng(HBITMAP bitmap, const std::wstring &path) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmap> image;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> frameOptions;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(&factory));
    const auto step = [&result](auto &&call) {
        if (SUCCEEDED(result)) {
            result = call();
        }
    };
    step([&] {
        return factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, &image);
    });
    step([&] { return factory->CreateStream(&stream); });
    step([&] { return stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE); });
    step([&] { return factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder); });
    step([&] { return encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache); });
    step([&] { return encoder->CreateNewFrame(&frame, &frameOptions); });
    step([&] { return frame->Initialize(frameOptions.Get()); });
    step([&] { return frame->SetPixelFormat(&format); });
    step([&] { return frame->WriteSource(image.Get(), nullptr); });
    step([&] { return frame->Commit(); });
    step([&] { return encoder->Commit(); });
    // The stream writes as it goes: a full disk shows only once it is done.
    step([&] { return stream->Commit(STGC_DEFAULT); });
    return result;
}

} // namespace

std::string SaveScreenshot(HWND window, const std::string &path) {
    const ComUse com;
    const ScreenCopy copy(window);
    if (!copy.Bitmap()) {
        return "the screen could not be copied";
    }
    const std::wstring widePath = Wide(path);
    const HRESULT written = WritePng(copy.Bitmap(), widePath);
    if (FAILED(written)) {
        DeleteFileW(widePath.c_str());
        return SystemMessage(static_cast<DWORD>(written));
    }
    return "";
}
