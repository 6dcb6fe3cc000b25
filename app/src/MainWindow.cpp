#include "app/MainWindow.h"

#include "app/AppSupport.h"
#include "diagnostics/Log.h"
#include "discovery/MotionUnit.h"
#include "toolkit/Application.h"
#include "toolkit/Theme.h"

namespace app {

const wchar_t* const MainWindowClassName = L"Tavrello_Kelvane_MainWindow";
const wchar_t* const MainWindowTitle = L"Motion Platform Serial Number";
const wchar_t* const CheckingText = L"(checking...)";
const wchar_t* const NoUnitText = discovery::NoUnitText;

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
constexpr int IconResourceId = 1;

// How the window asks for its check timer; tests may stand in one. GUI thread only.
TimerStarter g_timerStarter = SetTimer;

HINSTANCE programModule() {
    const Nvx::Application* application = Nvx::Application::instance();
    return application != nullptr ? application->hInstance() : GetModuleHandleW(nullptr);
}

// The program's icon at one of the system's icon sizes; null when the module
// has none. Shared icons stay loaded with the module and are never destroyed.
HICON programIcon(int widthMetric, int heightMetric) {
    return static_cast<HICON>(LoadImageW(programModule(), MAKEINTRESOURCEW(IconResourceId), IMAGE_ICON,
                                         GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric),
                                         LR_DEFAULTCOLOR | LR_SHARED));
}

// Runs on a pool thread: only posts to the window (context is its handle).
void CALLBACK postCheckTimerRetry(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
    PostMessageW(static_cast<HWND>(context), CheckTimerRetryMessage, 0, 0);
}

}  // namespace

void installTimerStarter(TimerStarter starter) { g_timerStarter = starter != nullptr ? starter : SetTimer; }

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

MainWindow::MainWindow(CheckWorker::Check check) : MainWindow(1.0f, std::move(check)) {
    // Laid out at the DPI of the monitor the window is on (with per-monitor
    // awareness each monitor has its own).
    const float own = hwnd() != nullptr ? windowScaleFactor(hwnd()) : 1.0f;
    if (own != scale()) applyScale(own, nullptr);
}

MainWindow::MainWindow(float scale, CheckWorker::Check check) : Nvx::Widget(nullptr) {
    setScale(scale);
    // The taskbar and Alt+Tab show the class's icons.
    Nvx::registerWindowClass(MainWindowClassName, LoadCursorW(nullptr, IDC_ARROW), programIcon(SM_CXICON, SM_CYICON),
                             programIcon(SM_CXSMICON, SM_CYSMICON));
    addHandler(WM_CREATE, &MainWindow::onCreate);
    addHandler(WM_DESTROY, &MainWindow::onDestroy);
    addHandler(WM_TIMER, &MainWindow::onTimer);
    addHandler(CheckResultMessage, &MainWindow::onCheckResult);
    addHandler(CheckTimerRetryMessage, &MainWindow::onCheckTimerRetry);
    addHandler(WM_DPICHANGED, &MainWindow::onDpiChanged);
    addHandler(WM_SYSCOLORCHANGE, &MainWindow::onThemeChange);
    addHandler(WM_SETTINGCHANGE, &MainWindow::onThemeChange);
    if (const UINT request = bringToFrontMessage()) addHandler(request, &MainWindow::onBringToFront);
    addHandler(WM_DEVICECHANGE, &MainWindow::onDeviceChange);
    addHandler(WM_GETOBJECT, &MainWindow::onGetObject);
    // What users expect of a small dialog: keys, and a window that moves when
    // its background is dragged, as it has no caption.
    enableDialogNavigation();
    enableBackgroundDrag();
    create(MainWindowClassName, MainWindowTitle, MainWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, MainWindowWidth,
           MainWindowHeight, nullptr, nullptr);
    logo_ = loadPngResource(programModule(), MAKEINTRESOURCEW(LogoResourceId), L"PNG");
    if (hwnd() != nullptr) {
        if (!allowBringToFrontRequests(hwnd())) diagnostics::logErrorCode(BringToFrontFilterFailedCode, GetLastError());
        checker_ = std::make_unique<CheckWorker>(hwnd(), CheckResultMessage, std::move(check));
        startCheckTimer();
        notices_ = std::make_unique<discovery::UnitInterfaceNotices>(hwnd());
    }
}

MainWindow::~MainWindow() {
    checkTimerRetry_.reset();
    // Before the window goes: results still queued for it are freed here.
    checker_.reset();
    Nvx::unregisterWindowClass(MainWindowClassName);
}

bool MainWindow::finishChecks(DWORD timeoutMs) { return checker_ == nullptr || checker_->finish(timeoutMs); }

LRESULT MainWindow::onCreate(UINT message, WPARAM wParam, LPARAM lParam) {
    removeFrame();
    centerOnScreen();

    // Each label: constructed, then its colour and text; fonts and places come
    // from layOut, at the window's scale.
    auto addLabel = [this](Gdiplus::ARGB colour, const wchar_t* text) {
        auto* label = new Nvx::Label(this);
        label->setColor(Gdiplus::Color(colour));
        label->setText(text);
        return label;
    };
    heading_ = addLabel(0xFFFFFFFF, HeadingText);
    explanation_ = addLabel(0xFFFFFFFF, ExplanationText);
    caption_ = addLabel(0xFF000000, CaptionText);
    serialLabel_ = addLabel(0xFF000000, CheckingText);
    serialLabel_->setBackground(lightBrush_);

    copyButton_ = new Nvx::Button(this);
    copyButton_->setText(CopyText);
    copyButton_->onClick = [this] { copyToClipboard(); };
    closeButton_ = new Nvx::Button(this);
    closeButton_->setText(CloseText);
    closeButton_->onClick = [this] { close(); };
    for (Nvx::Button* button : {copyButton_, closeButton_}) button->setColor(Gdiplus::Color(0xFFFFFFFF));

    // Esc, Alt+F4, Enter (with no button focused) and Ctrl+C do what the buttons do.
    Nvx::Button* copyButton = copyButton_;
    Nvx::Button* closeButton = closeButton_;
    setCancelAction([closeButton] { closeButton->click(); });
    setDefaultAction([copyButton] { copyButton->click(); });
    addShortcut('C', true, false, [copyButton] { copyButton->click(); });

    layOut();
    return callDefault(message, wParam, lParam);
}

void MainWindow::layOut() {
    if (serialLabel_ == nullptr) return;
    const float s = scale();
    Gdiplus::FontFamily family(FontFace);
    const Gdiplus::Font headingFont(&family, 30.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    const Gdiplus::Font rowFont(&family, 16.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    const Gdiplus::Font explanationFont(&family, 14.0f * s, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    // Logical units, like every position: move scales it, once.
    const int gap = 10;

    heading_->setFont(headingFont);
    heading_->move(8, 10);
    heading_->resize(640, 50);
    explanation_->setFont(explanationFont);
    explanation_->move(10, 70);
    explanation_->resize(640, 50);
    caption_->setFont(rowFont);
    caption_->resize(45, 40);
    serialLabel_->setFont(rowFont);
    serialLabel_->resize(490, 40);
    for (Nvx::Button* button : {copyButton_, closeButton_}) {
        button->resize(200, 50);
        button->setFont(rowFont);
    }
    layoutRow(10, 135, gap, {caption_, serialLabel_});
    layoutCentredRow(*this, 180, gap, {copyButton_, closeButton_});
}

void MainWindow::applyScale(float newScale, const RECT* suggested) {
    setScale(newScale);
    for (Nvx::Widget* child : std::initializer_list<Nvx::Widget*>{heading_, explanation_, caption_, serialLabel_,
                                                                  copyButton_, closeButton_}) {
        if (child != nullptr) child->setScale(newScale);
    }
    if (suggested != nullptr) {
        SetWindowPos(hwnd(), nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        resize(MainWindowWidth, MainWindowHeight);
        centerOnScreen();
    }
    layOut();
    RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

LRESULT MainWindow::onDestroy(UINT, WPARAM, LPARAM) {
    notices_.reset();
    checkTimerRetry_.reset();
    if (checker_) checker_->stop();
    PostQuitMessage(0);
    return 0;
}

LRESULT MainWindow::onTimer(UINT, WPARAM, LPARAM) {
    if (checker_) checker_->start();
    return 0;
}

LRESULT MainWindow::onDeviceChange(UINT, WPARAM wParam, LPARAM lParam) {
    if (checker_ && discovery::takeUnitInterfaceNotice(wParam, lParam)) checker_->startOrFollow();
    return TRUE;
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

void MainWindow::startCheckTimer() {
    if (g_timerStarter(hwnd(), CheckTimerId, CheckIntervalMs, nullptr) != 0) {
        checkTimerRunning_ = true;
        checkTimerRefusalLogged_ = false;
        checkTimerRetry_.reset();
        return;
    }
    const DWORD error = GetLastError();
    if (!checkTimerRefusalLogged_) {
        diagnostics::logErrorCode(CheckTimerRefusedCode, error);
        checkTimerRefusalLogged_ = true;
    }
    if (checkTimerRetry_) return;
    // A pool timer is no window timer: it is there when the window's timers are not.
    checkTimerRetry_.reset(CreateThreadpoolTimer(postCheckTimerRetry, hwnd(), nullptr));
    if (!checkTimerRetry_) return;
    ULARGE_INTEGER due{};
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(CheckIntervalMs) * 10000);  // relative, 100 ns
    FILETIME dueTime{due.LowPart, due.HighPart};
    SetThreadpoolTimer(checkTimerRetry_.get(), &dueTime, CheckIntervalMs, 0);
}

LRESULT MainWindow::onCheckTimerRetry(UINT, WPARAM, LPARAM) {
    if (checkTimerRunning_) return 0;
    startCheckTimer();
    // Without a timer the window would stay on its last text: check now.
    if (checker_) checker_->start();
    return 0;
}

LRESULT MainWindow::onDpiChanged(UINT, WPARAM wParam, LPARAM lParam) {
    // Both halves carry the same DPI; the rectangle is where the system wants the window.
    const float newScale = scaleForDpi(LOWORD(wParam));
    if (newScale > 0.0f) applyScale(newScale, reinterpret_cast<const RECT*>(lParam));
    return 0;
}

LRESULT MainWindow::onThemeChange(UINT, WPARAM, LPARAM) {
    RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
    return 0;
}

LRESULT MainWindow::onGetObject(UINT message, WPARAM wParam, LPARAM lParam) {
    for (Nvx::Label* label : {heading_, explanation_, caption_, serialLabel_, static_cast<Nvx::Label*>(copyButton_),
                              static_cast<Nvx::Label*>(closeButton_)}) {
        if (label != nullptr) label->annotateRole();
    }
    return callDefault(message, wParam, lParam);
}

LRESULT MainWindow::onBringToFront(UINT, WPARAM, LPARAM) {
    // The second start gave this process the right to set the foreground window.
    if (IsIconic(hwnd())) ShowWindow(hwnd(), SW_RESTORE);
    SetForegroundWindow(hwnd());
    return BringToFrontAnswer;
}

void MainWindow::copyToClipboard() {
    if (serialLabel_ == nullptr) return;
    if (!setClipboardText(serialLabel_->text(), hwnd())) {
        diagnostics::logErrorCode(ClipboardCopyFailedCode, GetLastError());
    }
}

void MainWindow::paint(Gdiplus::Graphics* graphics) {
    const float s = scale();
    const Gdiplus::RectF r = clientRect();
    const float width = static_cast<float>(static_cast<int>(r.Width));
    if (Nvx::highContrast()) {
        // The theme's pair and nothing of the window's own; the logo keeps its colours.
        Gdiplus::SolidBrush window{Gdiplus::Color(Nvx::systemColor(COLOR_WINDOW))};
        Gdiplus::Pen border(Gdiplus::Color(Nvx::systemColor(COLOR_WINDOWTEXT)), borderPen_.GetWidth());
        graphics->FillRectangle(&window, r);
        graphics->DrawRectangle(&border, r);
    } else {
        graphics->FillRectangle(&darkBrush_, r);
        graphics->DrawRectangle(&borderPen_, r);
        graphics->FillRectangle(&bandBrush_, 2 * s, 60 * s, width - 4 * s, 55 * s);
        graphics->FillRectangle(&lightBrush_, 2 * s, 115 * s, width - 4 * s, 65 * s);
    }
    if (logo_) {
        const float w = static_cast<float>(logo_->GetWidth());
        const float h = static_cast<float>(logo_->GetHeight());
        const Gdiplus::RectF place(width - w * s - 14 * s, 17 * s, w * s, h * s);
        // A child's paint draws the window only under the child: most miss the logo.
        if (graphics->IsVisible(place)) graphics->DrawImage(logo_.get(), place);
    }
}

}  // namespace app
