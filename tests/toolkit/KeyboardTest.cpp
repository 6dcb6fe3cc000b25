#include "ToolkitTestSupport.h"

#include <oleacc.h>

using namespace testing_support;

namespace {

// IAccessible's id, spelled out: MinGW's oleacc and uuid libraries both define it.
const IID AccessibleInterface = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Two buttons on a popup at (100, 100) that asks for dialog keys, with cues
// hidden until the keyboard is used, as on a Windows desktop by default (Wine's
// desktop always shows them). The setting is changed for this process only.
class KeyboardTest : public ToolkitTest {
protected:
    std::unique_ptr<Probe> parent;
    Nvx::Button* buttons[2] = {};
    int clicks = 0;
    int cancels = 0;

    void SetUp() override {
        ToolkitTest::SetUp();
        BOOL alwaysShown = FALSE;
        SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &alwaysShown, 0);
        SystemParametersInfoW(SPI_SETKEYBOARDCUES, 0, nullptr, 0);
        parent = makeTopLevel(100, 100, 400, 200);
        parent->enableDialogNavigation();
        SystemParametersInfoW(SPI_SETKEYBOARDCUES, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(alwaysShown)), 0);
        parent->setCancelAction([this] { ++cancels; });
        for (int i = 0; i < 2; ++i) {
            buttons[i] = new Nvx::Button(parent.get());
            buttons[i]->setText(i == 0 ? L"First" : L"Second");
            buttons[i]->onClick = [this] { ++clicks; };
            buttons[i]->resize(150, 50);
            buttons[i]->move(20 + 180 * i, 20);
        }
        pumpFor(30);
    }
    void TearDown() override {
        parent.reset();
        ToolkitTest::TearDown();
    }
    bool key(WPARAM key) {
        MSG msg{parent->hwnd(), WM_KEYDOWN, key, 1, 0, {}};
        return parent->handleDialogKey(msg);
    }
    // Whether the cue's colour is anywhere on the rows of its outline.
    bool cueDrawn(Nvx::Button& button) {
        repaint(button);
        const Shot shot = shoot(button);
        for (int y = 2; y <= 4; ++y) {
            for (int x = 4; x < 140; ++x) {
                if (shot.at(x, y) == Nvx::Button::FocusCue) return true;
            }
        }
        return false;
    }
};

TEST_F(KeyboardTest, CueShowsOnlyOnceTheKeyboardMovedTheFocus) {
    EXPECT_FALSE(parent->focusCuesShown());
    pointerTo(100 + 20 + 75, 100 + 20 + 25);
    leftDown();
    leftUp();
    ASSERT_TRUE(pumpUntil([&] { return buttons[0]->hasFocus(); }));
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(cueDrawn(*buttons[0])) << "a click does not show the cue";

    EXPECT_TRUE(key(VK_TAB));
    EXPECT_TRUE(buttons[1]->hasFocus());
    EXPECT_TRUE(cueDrawn(*buttons[1]));
    EXPECT_TRUE(key(VK_TAB));
    EXPECT_TRUE(buttons[0]->hasFocus()) << "Tab wraps";
    EXPECT_FALSE(cueDrawn(*buttons[1])) << "the cue follows the focus";

    SendMessageW(parent->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(cancels, 1) << "closing the window is cancelling";
    EXPECT_TRUE(IsWindow(parent->hwnd()));
    EXPECT_FALSE(key('X')) << "other keys go their usual way";
}

TEST_F(KeyboardTest, ButtonsAndLabelsCarryTheirRoles) {
    auto* label = new Nvx::Label(parent.get());
    label->setText(L"ABC-DEF");
    const struct {
        Nvx::Label* widget;
        long role;
    } cases[] = {{buttons[0], ROLE_SYSTEM_PUSHBUTTON}, {label, ROLE_SYSTEM_STATICTEXT}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.widget->accessibleRole(), c.role);
        EXPECT_FALSE(c.widget->roleAnnotationTried()) << "not before a client asks";
        IAccessible* object = nullptr;
        ASSERT_EQ(AccessibleObjectFromWindow(c.widget->hwnd(), OBJID_CLIENT, AccessibleInterface,
                                             reinterpret_cast<void**>(&object)),
                  S_OK);
        EXPECT_TRUE(c.widget->roleAnnotationTried());
        VARIANT self, role;
        VariantInit(&self);
        VariantInit(&role);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        EXPECT_EQ(object->get_accRole(self, &role), S_OK);
        // Where the system has no dynamic annotation (Wine 8) the window stays a
        // plain client area: the role the system reports cannot be checked there.
        EXPECT_EQ(role.lVal, c.widget->roleAnnotated() ? c.role : ROLE_SYSTEM_CLIENT);
        // A screen reader's default action presses the button. Wine 8's objects
        // have no default action (E_NOTIMPL): there only the message it sends is tried, below.
        if (c.widget == buttons[0] && object->accDoDefaultAction(self) != E_NOTIMPL) {
            EXPECT_TRUE(pumpUntil([&] { return clicks == 1; }));
            clicks = 0;
        }
        object->Release();
    }
    // The button works as a standard push button, so Active Accessibility
    // serves it with the system's button object; the label does not claim to.
    EXPECT_EQ(SendMessageW(buttons[0]->hwnd(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_QUERYCLASSNAMEIDX)),
              Nvx::Button::PushButtonClassIndex);
    EXPECT_EQ(SendMessageW(label->hwnd(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_QUERYCLASSNAMEIDX)), 0);
    SendMessageW(buttons[0]->hwnd(), BM_CLICK, 0, 0);  // what that object's default action sends
    EXPECT_EQ(clicks, 1);
}

}  // namespace
