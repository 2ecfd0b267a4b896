#include "support/dialog_driver.h"

#include "support/test_support.h"

namespace test {

namespace {

struct DriverState {
    std::function<void(HWND)> drive;
    DWORD deadline;
    bool driven;
    UINT_PTR timer;
};

DriverState* g_state = NULL;

struct FindQuery {
    const char* title;
    HWND except;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
    FindQuery* query = reinterpret_cast<FindQuery*>(param);
    if (window == query->except || !IsVisibleWindowOf(window, "#32770", query->title))
        return TRUE;
    query->found = window;
    return FALSE;
}

void CALLBACK DriverTick(HWND, UINT, UINT_PTR, DWORD) {
    DriverState* state = g_state;
    if (!state)
        return;
    HWND dialog = FindThreadDialog(NULL);
    if (!state->driven && dialog) {
        // Drive only once: the driver may itself run nested modal loops.
        state->driven = true;
        state->drive(dialog);
        return;
    }
    if (GetTickCount() > state->deadline) {
        KillTimer(NULL, state->timer);
        state->timer = 0;
        // Close whatever is still open, innermost first.
        HWND open;
        while ((open = FindThreadDialog(NULL)) != NULL)
            EndDialog(open, -2);
    }
}

} // namespace

HWND FindThreadDialog(const char* title, HWND except) {
    FindQuery query = {title, except, NULL};
    EnumThreadWindows(GetCurrentThreadId(), MatchDialog, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

INT_PTR RunDialog(int templateId, DLGPROC procedure, HWND owner,
                  const std::function<void(HWND)>& drive, DWORD timeoutMs) {
    DriverState state;
    state.drive = drive;
    state.deadline = GetTickCount() + timeoutMs;
    state.driven = false;
    state.timer = SetTimer(NULL, 0, 20, DriverTick);
    DriverState* previous = g_state;
    g_state = &state;
    INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(templateId), owner, procedure, 0);
    g_state = previous;
    if (state.timer)
        KillTimer(NULL, state.timer);
    return result;
}

void Settle(DWORD milliseconds) {
    PumpMessages(milliseconds);
}

} // namespace test
