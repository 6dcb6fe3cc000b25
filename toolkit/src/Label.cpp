#include "toolkit/Label.h"

#include <oleacc.h>

#include "platform/Unique.h"
#include "toolkit/Application.h"
#include "toolkit/Theme.h"

namespace Nvx {

Label::Label(Widget* parentWidget, const wchar_t* className) : Label(parentWidget, className, ROLE_SYSTEM_STATICTEXT) {}

Label::Label(Widget* parentWidget, const wchar_t* className, long role)
    : Widget(parentWidget), format_(new Gdiplus::StringFormat(0, LANG_NEUTRAL)), role_(role) {
    // Arial, 8 pixels, regular, not scaled: owners pass fonts already scaled.
    // Without the family the label has no font and draws no text until setFont.
    if (const Gdiplus::Font* arial = Application::defaultLabelFont()) font_.reset(arial->Clone());
    create(className ? className : L"Nvx_AbstractControl", L"", WS_CHILD | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, parentWidget);
    addHandler(WM_NCHITTEST, &Label::onHitTest);
    addHandler(WM_DESTROY, &Label::onDestroy);
    addHandler(WM_GETOBJECT, &Label::onGetObject);
}

Label::~Label() {
    // The widget's destructor destroys a window it still holds without routing
    // WM_DESTROY here: the annotation goes first.
    clearRoleAnnotation();
    format_.reset();
    font_.reset();
    text_.clear();
}

void Label::setText(const std::wstring& value) {
    if (value == text_) return;
    text_ = value;
    if (!hwnd()) return;
    SetWindowTextW(hwnd(), text_.c_str());
    // The client object carries the role screen readers announce; its name is the text.
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, hwnd(), OBJID_CLIENT, CHILDID_SELF);
}

std::wstring Label::text() const { return text_; }

void Label::setFont(const Gdiplus::Font& value) { font_.reset(value.Clone()); }

void Label::setColor(const Gdiplus::Color& value) { color_ = value.GetValue(); }

Gdiplus::ARGB Label::textColor() const { return highContrast() ? systemColor(COLOR_WINDOWTEXT) : color_; }

void Label::paint(Gdiplus::Graphics* graphics) {
    if (!graphics || !font_) return;
    Gdiplus::SolidBrush brush{Gdiplus::Color(textColor())};
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

namespace {

// The property service's class and interface ids and the role property's id,
// spelled out here: toolchains disagree about which library carries them.
const CLSID PropertyServiceClass = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const IID PropertyServiceInterface = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
const MSAAPROPID RoleProperty = {0xcb905ff2, 0x7bd1, 0x4c05, {0xb3, 0xc8, 0xe6, 0xc2, 0x41, 0x36, 0x4d, 0x70}};

// Dynamic annotation of a window's client object goes through the system's
// accessibility property service (COM, which the application starts when first
// asked); null where the system has none.
platform::UniqueCom<IAccPropServices> propertyService() {
    platform::UniqueCom<IAccPropServices> service;
    if (!Application::useCom()) return service;
    CoCreateInstance(PropertyServiceClass, nullptr, CLSCTX_INPROC_SERVER, PropertyServiceInterface,
                     reinterpret_cast<void**>(service.put()));
    return service;
}

}  // namespace

void Label::annotateRole() {
    if (roleAnnotationTried_ || !hwnd()) return;
    roleAnnotationTried_ = true;
    const auto properties = propertyService();
    if (!properties) return;
    VARIANT value{};  // VT_EMPTY, as VariantInit leaves it (without needing oleaut32)
    value.vt = VT_I4;
    value.lVal = role_;
    roleAnnotated_ = SUCCEEDED(
        properties.get()->SetHwndProp(hwnd(), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, RoleProperty, value));
}

void Label::clearRoleAnnotation() {
    if (!roleAnnotated_ || !hwnd()) return;
    roleAnnotated_ = false;
    const auto properties = propertyService();
    MSAAPROPID property = RoleProperty;
    if (properties) {
        properties.get()->ClearHwndProps(hwnd(), static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &property, 1);
    }
}

LRESULT Label::onGetObject(UINT message, WPARAM wParam, LPARAM lParam) {
    annotateRole();
    return callDefault(message, wParam, lParam);
}

LRESULT Label::onDestroy(UINT message, WPARAM wParam, LPARAM lParam) {
    clearRoleAnnotation();
    return callDefault(message, wParam, lParam);
}

}  // namespace Nvx
