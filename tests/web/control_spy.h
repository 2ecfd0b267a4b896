// A control class for the tests: each object it creates is the system's real
// web-browser control, with the tables of its IOleObject and IWebBrowser2
// swapped for copies that record what a container calls on them (with the
// arguments) before running the real entry. Calls the control makes on
// itself are not recorded. Written in C for the COM binary layout, like the
// site spy.
#ifndef LAUNCHER_TEST_CONTROL_SPY_H
#define LAUNCHER_TEST_CONTROL_SPY_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Registers the class under `asClass` for this thread (CLSID_WebBrowser
// itself is allowed: the real class is looked up before). 0 on failure.
DWORD ControlSpyRegister(REFCLSID asClass);
void ControlSpyRevoke(DWORD cookie);

// Called each time the class is asked for a control, before the real one is
// created (null: nothing).
void ControlSpyOnCreate(void (*hook)(void));

// While set, the container's request for IWebBrowser2 fails (E_NOINTERFACE).
void ControlSpyRefuseWebBrowser(int refuse);

// The record, oldest first: "Ole.Method(arguments)", "Web.Method(arguments)";
// QueryInterface with its result
// appended ("=0x........"). Notes of the test's own join the record.
void ControlSpyNote(const char* text);
int ControlSpyCallCount(void);
const char* ControlSpyCall(int index);
void ControlSpyClear(void);

#ifdef __cplusplus
}
#endif

#endif
