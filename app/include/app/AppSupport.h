#pragma once
// Platform glue of the main window: scale factor, logo resource, clipboard.

#include <windows.h>
#include <gdiplus.h>

#include <memory>
#include <string>

// The primary monitor's scale factor; 1.0 when it cannot be read.
float monitorScaleFactor();

// Maps a DEVICE_SCALE_FACTOR percentage to a scale: the known factors from 120 to
// 500 give value / 100, anything else (100 included) 1.0.
float scaleForDeviceFactor(int percentage);

// Decodes a PNG resource into a bitmap that owns its pixels; null when the
// resource is missing or cannot be decoded.
std::unique_ptr<Gdiplus::Bitmap> loadPngResource(HMODULE module, const wchar_t* name, const wchar_t* type);

// Puts the text (up to its first NUL) on the clipboard as CF_UNICODETEXT. The
// owner window becomes the clipboard's owner. Returns whether the clipboard took it.
bool setClipboardText(const std::wstring& text, HWND owner = nullptr);
