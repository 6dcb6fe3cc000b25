#include "toolkit/Label.h"

#include <oleacc.h>

namespace Nvx {

Label::Label(Widget* parentWidget, const wchar_t* className)
    : Widget(parentWidget), format_(new Gdiplus::StringFormat(0, LANG_NEUTRAL)) {
    // Arial, 8 pixels, regular, not scaled: owners pass fonts already scaled.
    // Without the family the label has no font and draws no text until setFont.
    {
        Gdiplus::FontFamily family(L"Arial", nullptr);
        Gdiplus::Font arial(&family, 8.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
        font_.reset(arial.Clone());
    }
    create(className ? className : L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE,
           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, parentWidget);
    addHandler(WM_NCHITTEST, &Label::onHitTest);
    addHandler(WM_GETOBJECT, &Label::onGetObject);
}

Label::~Label() {
    format_.reset();
    font_.reset();
    text_.clear();
}

void Label::setText(const std::wstring& value) {
    if (value == text_) return;
    text_ = value;
    if (hwnd()) SetWindowTextW(hwnd(), text_.c_str());
}

std::wstring Label::text() const {
    return text_;
}

void Label::setFont(const Gdiplus::Font& value) {
    font_.reset(value.Clone());
}

void Label::setColor(const Gdiplus::Color& value) {
    color_ = value.GetValue();
}

void Label::paint(Gdiplus::Graphics* graphics) {
    if (!graphics || !font_) return;
    Gdiplus::SolidBrush brush{Gdiplus::Color(color_)};
    graphics->SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    Gdiplus::RectF layout = clientRect();
    graphics->DrawString(text_.c_str(), -1, font_.get(), layout, format_.get(), &brush);
}

}  // namespace Nvx

namespace Nvx {

LRESULT Label::onHitTest(UINT message, WPARAM wParam, LPARAM lParam) {
    if (focusable()) return callDefault(message, wParam, lParam);
    return HTTRANSPARENT;
}

LRESULT Label::onGetObject(UINT message, WPARAM wParam, LPARAM lParam) {
    if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT) || !hwnd()) {
        return callDefault(message, wParam, lParam);
    }
    IAccessible* standard = nullptr;
    if (FAILED(CreateStdAccessibleProxyW(hwnd(), accessibleClass_, OBJID_CLIENT, IID_IAccessible,
                                         reinterpret_cast<void**>(&standard))) ||
        !standard) {
        return callDefault(message, wParam, lParam);
    }
    const LRESULT result = LresultFromObject(IID_IAccessible, wParam, standard);
    standard->Release();
    return result;
}

}  // namespace Nvx
