// Windows: the notifications of every loop kind reach a client's window as a
// client receives them, through a message loop of its own: a message-only
// window (HWND_MESSAGE) of a class of its own, GetMessageA blocking until the
// next message, DispatchMessageA to the window procedure. WM_KQ_DATA carries
// the record's address in lParam, WM_KQ_LOOPEND and WM_KQ_USBERROR carry 0;
// wParam is always 0.
#include "loop/loop_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace kqtest {
namespace {

constexpr const char* kClass = "KqMessageLoopTest";
constexpr UINT_PTR kDeadline = 1;
// Upper bound for one message to arrive: generous, for slow emulated runs.
constexpr UINT kWaitMs = 20000;

struct Posted {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

class MessageLoop : public SimRecordTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        SimRecordTest::SetUp();
        kqsim_set_loop_interval(0); // reports only when the field changes
        static const bool registered = [] {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = Procedure;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = kClass;
            return RegisterClassExA(&wc) != 0;
        }();
        ASSERT_TRUE(registered) << GetLastError();
        window_ = CreateWindowExA(0, kClass, "kq-message-loop", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(window_, nullptr) << GetLastError();
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        P().hWnd = window_;
    }
    void TearDown() override {
        SimRecordTest::TearDown();
        if (window_ != nullptr) {
            MSG msg;
            while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) {
            }
            SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
            DestroyWindow(window_);
        }
    }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
        auto* self = reinterpret_cast<MessageLoop*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self != nullptr && msg >= WM_KQ_DATA && msg <= WM_KQ_USBERROR) {
            self->posted_.push_back({msg, wparam, lparam});
            if (msg == self->until_ && !self->arrived_) {
                self->arrived_ = true;
                PostQuitMessage(0);
            }
            return 0;
        }
        if (self != nullptr && msg == WM_TIMER && wparam == kDeadline) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(hwnd, msg, wparam, lparam);
    }

    // The client's message loop, until the message `until` has come (0: for
    // the whole time) or timeout_ms has passed; true when it came.
    bool RunUntil(UINT until, UINT timeout_ms = kWaitMs) {
        until_ = until;
        arrived_ = false;
        EXPECT_NE(SetTimer(window_, kDeadline, timeout_ms, nullptr), 0u);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        KillTimer(window_, kDeadline);
        return arrived_;
    }

    int Count(UINT message) const {
        int n = 0;
        for (const auto& m : posted_) {
            n += m.message == message;
        }
        return n;
    }

    // Every message so far with the right parameters.
    void ExpectParameters() const {
        const auto record = reinterpret_cast<LPARAM>(prop_.get());
        for (const auto& m : posted_) {
            EXPECT_EQ(m.wparam, 0u) << std::hex << m.message;
            EXPECT_EQ(m.lparam, m.message == WM_KQ_DATA ? record : 0) << std::hex << m.message;
        }
    }

    // Starts this test's kind of loop through its operation. UID and tag
    // command loops start on an empty field (the tag command's one-shot
    // fails, which hands over to its loop); the multi loops poll the field
    // themselves and start with the tag in it.
    void StartLoop() {
        P().LoopMode = 1;
        switch (GetParam()) {
        case KQ_LOOP_UID:
            ASSERT_EQ(KQ_GetUID(&P()), KQ_OK);
            break;
        case KQ_LOOP_TAGCOMMAND:
            std::strcpy(P().IN_TA, "ABC");
            ASSERT_EQ(KQ_TagCommand(&P()), KQ_OK);
            break;
        default:
            ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 16), 0);
            ASSERT_EQ(StartMultiLoopOnFirstTag(P(), GetParam()), KQ_OK);
            break;
        }
        ASSERT_NE(P().hThread, nullptr);
        ASSERT_EQ(P().LoopKind, GetParam());
        if (GetParam() == KQ_LOOP_UID || GetParam() == KQ_LOOP_TAGCOMMAND) {
            ASSERT_TRUE(WaitListening());
            ASSERT_EQ(kqsim_tag_add(Uid(1).c_str(), 4, 16), 0);
        }
    }

    // What the worker stored before it posted WM_KQ_DATA.
    void ExpectResult() const {
        const KQ_PROPERTY& p = *prop_;
        switch (GetParam()) {
        case KQ_LOOP_UID:
            EXPECT_EQ(p.OUT_GU.Count, 1);
            EXPECT_STREQ(p.OUT_GU.TagInfo[0].UID, Uid(1).c_str());
            break;
        case KQ_LOOP_TAGCOMMAND:
            EXPECT_NE(std::string(p.OUT_TA, sizeof p.OUT_TA).find("CBA"), std::string::npos);
            break;
        case KQ_LOOP_MULTIREAD:
            EXPECT_EQ(p.OUT_MR.DoneCount, 1);
            EXPECT_STREQ(p.OUT_MR.TagInfo[0].UID, Uid(1).c_str());
            break;
        default:
            EXPECT_EQ(p.OUT_MW.DoneCount, 1);
            EXPECT_STREQ(p.OUT_MW.TagInfo[0].UID, Uid(1).c_str());
            break;
        }
    }

    HWND window_ = nullptr;
    std::vector<Posted> posted_;
    UINT until_ = 0;
    bool arrived_ = false;
};

INSTANTIATE_TEST_SUITE_P(Kinds, MessageLoop,
                         ::testing::Values(KQ_LOOP_UID, KQ_LOOP_TAGCOMMAND, KQ_LOOP_MULTIREAD,
                                           KQ_LOOP_MULTIWRITE),
                         LoopKindName);

TEST_P(MessageLoop, DataThenLoopEndReachTheWindow) {
    Open();
    StartLoop();
    ASSERT_TRUE(RunUntil(WM_KQ_DATA)) << "no WM_KQ_DATA for the tag in the field";
    ExpectResult();
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    ASSERT_TRUE(RunUntil(WM_KQ_LOOPEND)) << "no WM_KQ_LOOPEND after KQ_LoopStop";
    RunUntil(0, 100);
    ExpectParameters();
    EXPECT_GE(Count(WM_KQ_DATA), 1);
    EXPECT_EQ(Count(WM_KQ_LOOPEND), 1);
    EXPECT_EQ(Count(WM_KQ_USBERROR), 0);
    EXPECT_EQ(posted_.back().message, static_cast<UINT>(WM_KQ_LOOPEND))
        << "nothing after WM_KQ_LOOPEND";
}

TEST_P(MessageLoop, DeviceLossReachesTheWindowAndNoLoopEndFollows) {
    Open();
    StartLoop();
    ASSERT_TRUE(RunUntil(WM_KQ_DATA));
    kqsim_unplug();
    ASSERT_TRUE(RunUntil(WM_KQ_USBERROR)) << "no WM_KQ_USBERROR after the unplug";
    EXPECT_EQ(StopFlagOf(P()), 1);
    EXPECT_EQ(KQ_LoopStop(&P()), KQ_OK);
    EXPECT_EQ(P().hThread, nullptr);
    RunUntil(0, 100);
    ExpectParameters();
    EXPECT_EQ(Count(WM_KQ_USBERROR), 1);
    EXPECT_EQ(Count(WM_KQ_LOOPEND), 0);
    EXPECT_EQ(posted_.back().message, static_cast<UINT>(WM_KQ_USBERROR))
        << "nothing after WM_KQ_USBERROR";
    // Back again: the connection check reopens the device.
    kqsim_replug();
    P().LoopMode = 0;
    EXPECT_EQ(KQ_GetUID(&P()), KQ_OK);
}

} // namespace
} // namespace kqtest
