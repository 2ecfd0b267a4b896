// launcher_loopback.exe (the real program, its portal on 127.0.0.1) run in a
// game folder: it requests the portal's start page while its window is open,
// and its buttons work whether or not the portal answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/launcher_process.h"
#include "support/test_support.h"
#include "ui/resource.h"
#include "web/loopback_http_server.h"

namespace {

const char kStartPage[] = "/?mini=2&gameid=220";

std::string StatsUrl() {
    char url[96];
    std::snprintf(url, sizeof url, "http://127.0.0.1:%d/stats/varnholt.html", LOOPBACK_PORTAL_PORT);
    return url;
}

size_t CountOf(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line + "\n"); at != std::string::npos;
         at = text.find(line + "\n", at + 1)) {
        if (at == 0 || text[at - 1] == '\n')
            ++count;
    }
    return count;
}

class LoopbackLauncher : public test::LauncherInGameFolder {
  protected:
    // Starts the program and waits for its window, which must hold the
    // embedded control in its placeholder.
    void Launch() {
        LauncherInGameFolder::Launch(test::ModuleDir() + "\\launcher_loopback.exe");
        if (HasFatalFailure())
            return;
        HWND placeholder = GetDlgItem(window_, IDC_WEB_PLACEHOLDER);
        ASSERT_TRUE(placeholder != NULL);
        EXPECT_TRUE(GetWindow(placeholder, GW_CHILD) != NULL) << "no control in the placeholder";
    }
};

TEST_F(LoopbackLauncher, RequestsTheStartPageWhileOpenAndPlayStillOpensTheGame) {
    test::LoopbackHttpServer portal;
    ASSERT_TRUE(portal.Start(LOOPBACK_PORTAL_PORT)) << "port " << LOOPBACK_PORTAL_PORT;
    Launch();
    EXPECT_TRUE(portal.WaitForRequest(kStartPage, 10000)) << portal.Requests().size();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(launcher_.handle(), 0))
        << "the launcher ended before it was told to";

    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    EXPECT_TRUE(test::WaitForFile(Ran("_Varnholt"), 10000));
    EXPECT_FALSE(test::FileExists(Ran("xpad")));
}

// With nothing listening on the portal's port the page fails to load; every
// way out of the window still opens its target.
struct WayOut {
    const char* name;
    UINT message;
    WPARAM command;
    const char* ran; // stub that must run, or null for the statistics page
};

class UnreachablePortal : public LoopbackLauncher, public ::testing::WithParamInterface<WayOut> {};

TEST_P(UnreachablePortal, TheButtonsStillOpenTheirTargets) {
    const WayOut& way = GetParam();
    size_t statsBefore = CountOf(test::RecordedUrls(), StatsUrl());
    Launch();
    PostMessageA(window_, way.message, way.command, 0);
    EXPECT_EQ(0u, ExitCode());
    if (way.ran) {
        EXPECT_TRUE(test::WaitForFile(Ran(way.ran), 10000));
    } else {
        DWORD start = GetTickCount();
        while (CountOf(test::RecordedUrls(), StatsUrl()) == statsBefore &&
               GetTickCount() - start < 10000)
            Sleep(50);
        EXPECT_EQ(statsBefore + 1, CountOf(test::RecordedUrls(), StatsUrl()));
    }
    // Exactly the one target.
    EXPECT_EQ(way.ran != NULL && std::string(way.ran) == "_Varnholt",
              test::FileExists(Ran("_Varnholt")));
    EXPECT_EQ(way.ran != NULL && std::string(way.ran) == "xpad", test::FileExists(Ran("xpad")));
}

const WayOut kWaysOut[] = {
    {"Play", WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), "_Varnholt"},
    {"Gamepad", WM_COMMAND, MAKEWPARAM(IDC_GAMEPAD, BN_CLICKED), "xpad"},
    {"Close", WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), NULL},
    {"CloseRequest", WM_CLOSE, 0, NULL},
};

std::string WayOutName(const ::testing::TestParamInfo<WayOut>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(EveryWayOut, UnreachablePortal, ::testing::ValuesIn(kWaysOut), WayOutName);

// A portal that misbehaves as real servers do: whatever the page does, the
// control raises no window of its own and PLAY still starts the game.
struct Misbehaviour {
    const char* name;
    test::LoopbackHttpServer::Behaviour behaviour;
};

class MisbehavingPortal : public LoopbackLauncher,
                          public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(MisbehavingPortal, NoOtherWindowOpensAndPlayStillStartsTheGame) {
    test::LoopbackHttpServer portal;
    portal.SetBehaviour(GetParam().behaviour);
    ASSERT_TRUE(portal.Start(LOOPBACK_PORTAL_PORT)) << "port " << LOOPBACK_PORTAL_PORT;
    Launch();
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(portal.WaitForRequest(kStartPage, 10000));
    // The control acts on the answer while this looks (a window that came
    // later would go unseen; a slow machine cannot fail a sound launcher).
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 1500) {
        std::vector<HWND> windows = launcher_.VisibleWindows();
        ASSERT_EQ(1u, windows.size()) << "another window of the launcher's process appeared";
        ASSERT_EQ(window_, windows[0]);
        test::PumpMessages(50);
    }
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    EXPECT_TRUE(test::WaitForFile(Ran("_Varnholt"), 20000));
}

const Misbehaviour kMisbehaviours[] = {
    {"NeverAnswers", test::LoopbackHttpServer::kNothing},
    {"EndlessPage", test::LoopbackHttpServer::kEndlessPage},
    {"RedirectsToItself", test::LoopbackHttpServer::kRedirectToSelf},
    {"ServerError", test::LoopbackHttpServer::kServerError},
    {"FileToDownload", test::LoopbackHttpServer::kDownload},
};

std::string MisbehaviourName(const ::testing::TestParamInfo<Misbehaviour>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(EachWay, MisbehavingPortal, ::testing::ValuesIn(kMisbehaviours),
                         MisbehaviourName);

} // namespace
