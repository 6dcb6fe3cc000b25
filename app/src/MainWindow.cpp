#include "app/MainWindow.h"

#include "app/AppSupport.h"
#include "discovery/MotionUnit.h"
#include "toolkit/Application.h"
#include "toolkit/Button.h"

namespace app {

const wchar_t* const MainWindowClassName = L"Tavrello_Kelvane_MainWindow";
const wchar_t* const MainWindowTitle = L"Motion Platform Serial Number";
const wchar_t* const CheckingText = L"(checking...)";
const wchar_t* const NoUnitText = L"(no motion unit has been found)";

namespace {

const wchar_t* const HeadingText = L"Serial Number";
const wchar_t* const ExplanationText =
    L"This tool reads serial number (or license code) of your motion platform. Make sure that your motion "
    L"unit is connected to PC via USB and it is turned on.";
const wchar_t* const CaptionText = L"S/N:";
const wchar_t* const CopyText = L"Copy to clipboard";
const wchar_t* const CloseText = L"Close";
const wchar_t* const FontFace = L"Verdana";

constexpr DWORD MainWindowStyle = WS_POPUP | WS_OVERLAPPEDWINDOW;
static_assert(MainWindowStyle == 0x80CF0000, "the main window's style");
constexpr int LogoResourceId = 102;
constexpr UINT_PTR CheckTimerId = 0;
constexpr UINT CheckIntervalMs = 1000;

}  // namespace

// Both rows work in pixels from each widget's real width, so that the gap is
// scaled once and stays the same whatever the widths were rounded to.
void layoutRow(int x, int y, int gap, const std::vector<Nvx::Widget*>& widgets) {
    if (widgets.empty()) return;
    const float s = widgets.front()->scale();
    int left = Nvx::toPixels(x, s);
    const int top = Nvx::toPixels(y, s);
    const int gapPixels = Nvx::toPixels(gap, s);
    for (Nvx::Widget* widget : widgets) {
        widget->movePixels(left, top);
        left += widget->pixelSize().width + gapPixels;
    }
}

void layoutCentredRow(const Nvx::Widget& container, int y, int gap, const std::vector<Nvx::Widget*>& widgets) {
    if (widgets.empty()) return;
    const float s = widgets.front()->scale();
    const int gapPixels = Nvx::toPixels(gap, s);
    int total = 0;
    for (const Nvx::Widget* widget : widgets) total += widget->pixelSize().width + gapPixels;
    // Centres the widgets and the gaps between them (one gap fewer than widgets).
    int left = (container.pixelSize().width + gapPixels - total) / 2;
    const int top = Nvx::toPixels(y, s);
    for (Nvx::Widget* widget : widgets) {
        widget->movePixels(left, top);
        left += widget->pixelSize().width + gapPixels;
    }
}

std::wstring checkMotionUnits() {
    const std::wstring text = discovery::displayedSerialNumber(discovery::MotionUnitFinder().findMotionUnits());
    return text.empty() ? NoUnitText : text;
}

MainWindow::MainWindow(CheckWorker::Check check) : MainWindow(monitorScaleFactor(), std::move(check)) {}

MainWindow::MainWindow(float scale, CheckWorker::Check check) : Nvx::Widget(nullptr) {
    setScale(scale);
    Nvx::registerWindowClass(MainWindowClassName, LoadCursorW(nullptr, IDC_ARROW));
    addHandler(WM_CREATE, &MainWindow::onCreate);
    addHandler(WM_DESTROY, &MainWindow::onDestroy);
    addHandler(WM_TIMER, &MainWindow::onTimer);
    addHandler(CheckResultMessage, &MainWindow::onCheckResult);
    // What users expect of a small dialog: keys, and a window that moves when
    // its background is dragged, as it has no caption.
    enableDialogNavigation();
    enableBackgroundDrag();
    create(MainWindowClassName, MainWindowTitle, MainWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 650, 232, nullptr,
           nullptr);
    const Nvx::Application* application = Nvx::Application::instance();
    logo_ = loadPngResource(application != nullptr ? application->hInstance() : GetModuleHandleW(nullptr),
                            MAKEINTRESOURCEW(LogoResourceId), L"PNG");
    if (hwnd() != nullptr) {
        checker_ = std::make_unique<CheckWorker>(hwnd(), CheckResultMessage, std::move(check));
        SetTimer(hwnd(), CheckTimerId, CheckIntervalMs, nullptr);
    }
}

MainWindow::~MainWindow() {
    // Before the window goes: results still queued for it are freed here.
    checker_.reset();
    Nvx::unregisterWindowClass(MainWindowClassName);
}

bool MainWindow::finishChecks(DWORD timeoutMs) { return checker_ == nullptr || checker_->finish(timeoutMs); }

LRESULT MainWindow::onCreate(UINT message, WPARAM wParam, LPARAM lParam) {
    removeFrame();
    centerOnScreen();

    const float s = scale();
    Gdiplus::FontFamily family(FontFace);
    const Gdiplus::Font headingFont(&family, 30.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    const Gdiplus::Font rowFont(&family, 16.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    const Gdiplus::Font explanationFont(&family, 14.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    // Logical units, like every position: move scales it, once.
    const int gap = 10;

    // Each label: constructed, then its font, colour and text, then its place.
    auto addLabel = [this](const Gdiplus::Font& font, Gdiplus::ARGB colour, const wchar_t* text) {
        auto* label = new Nvx::Label(this);
        label->setFont(font);
        label->setColor(Gdiplus::Color(colour));
        label->setText(text);
        return label;
    };
    Nvx::Label* heading = addLabel(headingFont, 0xFFFFFFFF, HeadingText);
    heading->move(8, 10);
    heading->resize(640, 50);
    Nvx::Label* explanation = addLabel(explanationFont, 0xFFFFFFFF, ExplanationText);
    explanation->move(10, 70);
    explanation->resize(640, 50);
    Nvx::Label* caption = addLabel(rowFont, 0xFF000000, CaptionText);
    caption->resize(45, 40);
    serialLabel_ = addLabel(rowFont, 0xFF000000, CheckingText);
    serialLabel_->resize(490, 40);
    serialLabel_->setBackground(lightBrush_);

    auto* copyButton = new Nvx::Button(this);
    copyButton->setText(CopyText);
    copyButton->onClick = [this] { copyToClipboard(); };
    auto* closeButton = new Nvx::Button(this);
    closeButton->setText(CloseText);
    closeButton->onClick = [this] { close(); };
    for (Nvx::Button* button : {copyButton, closeButton}) {
        button->resize(200, 50);
        button->setFont(rowFont);
        button->setColor(Gdiplus::Color(0xFFFFFFFF));
    }

    // Esc, Alt+F4, Enter (with no button focused) and Ctrl+C do what the buttons do.
    setCancelAction([closeButton] { closeButton->click(); });
    setDefaultAction([copyButton] { copyButton->click(); });
    addShortcut('C', true, false, [copyButton] { copyButton->click(); });

    layoutRow(10, 135, gap, {caption, serialLabel_});
    layoutCentredRow(*this, 180, gap, {copyButton, closeButton});

    return callDefault(message, wParam, lParam);
}

LRESULT MainWindow::onDestroy(UINT, WPARAM, LPARAM) {
    if (checker_) checker_->stop();
    PostQuitMessage(0);
    return 0;
}

LRESULT MainWindow::onTimer(UINT, WPARAM, LPARAM) {
    if (checker_) checker_->start();
    return 0;
}

LRESULT MainWindow::onCheckResult(UINT, WPARAM, LPARAM lParam) {
    const std::unique_ptr<std::wstring> text = CheckWorker::takeResult(lParam);
    // The same text as shown (most seconds) leaves the label unpainted.
    if (text && serialLabel_ != nullptr && *text != serialLabel_->text()) {
        serialLabel_->setText(*text);
        serialLabel_->invalidate(false, nullptr);
    }
    ++completedChecks_;
    return 0;
}

void MainWindow::copyToClipboard() {
    if (serialLabel_ != nullptr) setClipboardText(serialLabel_->text(), hwnd());
}

void MainWindow::paint(Gdiplus::Graphics* graphics) {
    const float s = scale();
    const Gdiplus::RectF r = clientRect();
    const float width = static_cast<float>(static_cast<int>(r.Width));
    graphics->FillRectangle(&darkBrush_, r);
    graphics->DrawRectangle(&borderPen_, r);
    graphics->FillRectangle(&bandBrush_, 2 * s, 60 * s, width - 4 * s, 55 * s);
    graphics->FillRectangle(&lightBrush_, 2 * s, 115 * s, width - 4 * s, 65 * s);
    if (logo_) {
        const float w = static_cast<float>(logo_->GetWidth());
        const float h = static_cast<float>(logo_->GetHeight());
        graphics->DrawImage(logo_.get(), width - w * s - 14 * s, 17 * s, w * s, h * s);
    }
}

}  // namespace app
