#include "screenshot.h"

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

std::wstring Wide(const std::string &text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(length > 0 ? length : 1));
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    return wide.data();
}

// Encodes the bitmap with the platform's PNG encoder (Windows Imaging Component).
bool WritePng(HBITMAP bitmap, const std::string &path) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmap> image;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> frameOptions;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(&factory))) &&
           SUCCEEDED(
               factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, &image)) &&
           SUCCEEDED(factory->CreateStream(&stream)) &&
           SUCCEEDED(stream->InitializeFromFilename(Wide(path).c_str(), GENERIC_WRITE)) &&
           SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
           SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
           SUCCEEDED(encoder->CreateNewFrame(&frame, &frameOptions)) &&
           SUCCEEDED(frame->Initialize(frameOptions.Get())) &&
           SUCCEEDED(frame->SetPixelFormat(&format)) &&
           SUCCEEDED(frame->WriteSource(image.Get(), nullptr)) && SUCCEEDED(frame->Commit()) &&
           SUCCEEDED(encoder->Commit());
}

} // namespace

bool SaveScreenshot(HWND window, const std::string &path) {
    const ComUse com;
    const ScreenCopy copy(window);
    return copy.Bitmap() && WritePng(copy.Bitmap(), path);
}
