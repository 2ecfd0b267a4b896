// The display-mode catalogue against a scripted Direct3D 9 object: which
// formats the device check passes, which modes the adapter reports and which
// reports fail are set by each test.
#include <gtest/gtest.h>

#include <windows.h>
#include <d3d9.h>

#include <set>
#include <vector>

#include "settings/display_modes.h"
#include "support/test_support.h"

namespace {

class ScriptedDirect3D : public IDirect3D9 {
  public:
    struct Mode {
        UINT width, height, refresh;
    };

    ScriptedDirect3D() : releases(0), callsAfterRelease(0) {}

    // Script.
    std::set<D3DFORMAT> passingFormats;
    std::vector<Mode> modes;
    std::set<UINT> failingIndexes;

    // Record.
    struct DeviceCheck {
        UINT adapter;
        D3DDEVTYPE type;
        D3DFORMAT display, backBuffer;
        BOOL windowed;
    };
    std::vector<DeviceCheck> deviceChecks;
    std::vector<D3DFORMAT> countFormats;
    std::vector<D3DFORMAT> enumFormats;
    int releases;
    int callsAfterRelease;

    void Add(UINT width, UINT height, UINT refresh = 60) {
        Mode mode = {width, height, refresh};
        modes.push_back(mode);
    }

    HRESULT STDMETHODCALLTYPE CheckDeviceType(UINT adapter, D3DDEVTYPE type, D3DFORMAT display,
                                              D3DFORMAT backBuffer, BOOL windowed) {
        Touch();
        DeviceCheck check = {adapter, type, display, backBuffer, windowed};
        deviceChecks.push_back(check);
        return passingFormats.count(display) ? D3D_OK : D3DERR_NOTAVAILABLE;
    }
    UINT STDMETHODCALLTYPE GetAdapterModeCount(UINT adapter, D3DFORMAT format) {
        Touch();
        countFormats.push_back(format);
        return adapter == D3DADAPTER_DEFAULT ? static_cast<UINT>(modes.size()) : 0;
    }
    HRESULT STDMETHODCALLTYPE EnumAdapterModes(UINT adapter, D3DFORMAT format, UINT index,
                                               D3DDISPLAYMODE* out) {
        Touch();
        enumFormats.push_back(format);
        if (adapter != D3DADAPTER_DEFAULT || index >= modes.size() || failingIndexes.count(index))
            return D3DERR_INVALIDCALL;
        out->Width = modes[index].width;
        out->Height = modes[index].height;
        out->RefreshRate = modes[index].refresh;
        out->Format = format;
        return D3D_OK;
    }
    ULONG STDMETHODCALLTYPE Release() {
        Touch();
        ++releases;
        return 0;
    }

    // Nothing else is expected to be called.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) { return Unexpected(); }
    ULONG STDMETHODCALLTYPE AddRef() { return Unexpected(); }
    HRESULT STDMETHODCALLTYPE RegisterSoftwareDevice(void*) { return Unexpected(); }
    UINT STDMETHODCALLTYPE GetAdapterCount() { return Unexpected(); }
    HRESULT STDMETHODCALLTYPE GetAdapterIdentifier(UINT, DWORD, D3DADAPTER_IDENTIFIER9*) {
        return Unexpected();
    }
    HRESULT STDMETHODCALLTYPE GetAdapterDisplayMode(UINT, D3DDISPLAYMODE*) { return Unexpected(); }
    HRESULT STDMETHODCALLTYPE CheckDeviceFormat(UINT, D3DDEVTYPE, D3DFORMAT, DWORD, D3DRESOURCETYPE,
                                                D3DFORMAT) {
        return Unexpected();
    }
    HRESULT STDMETHODCALLTYPE CheckDeviceMultiSampleType(UINT, D3DDEVTYPE, D3DFORMAT, BOOL,
                                                         D3DMULTISAMPLE_TYPE, DWORD*) {
        return Unexpected();
    }
    HRESULT STDMETHODCALLTYPE CheckDepthStencilMatch(UINT, D3DDEVTYPE, D3DFORMAT, D3DFORMAT,
                                                     D3DFORMAT) {
        return Unexpected();
    }
    HRESULT STDMETHODCALLTYPE CheckDeviceFormatConversion(UINT, D3DDEVTYPE, D3DFORMAT, D3DFORMAT) {
        return Unexpected();
    }
    HRESULT STDMETHODCALLTYPE GetDeviceCaps(UINT, D3DDEVTYPE, D3DCAPS9*) { return Unexpected(); }
    HMONITOR STDMETHODCALLTYPE GetAdapterMonitor(UINT) {
        Unexpected();
        return NULL;
    }
    HRESULT STDMETHODCALLTYPE CreateDevice(UINT, D3DDEVTYPE, HWND, DWORD, D3DPRESENT_PARAMETERS*,
                                           IDirect3DDevice9**) {
        return Unexpected();
    }

  private:
    void Touch() {
        if (releases > 0)
            ++callsAfterRelease;
    }
    HRESULT Unexpected() {
        ADD_FAILURE() << "unexpected call on the Direct3D object";
        return E_NOTIMPL;
    }
};

// "WxH" of every listed mode, in list order; also checks the depth of each.
std::vector<std::string> Listed() {
    std::vector<std::string> result;
    for (size_t i = 0; i < g_displayModes.size(); ++i) {
        const DisplayMode& mode = g_displayModes[i];
        EXPECT_EQ(32u, mode.bitsPerPixel);
        char text[32];
        sprintf(text, "%ux%u", mode.width, mode.height);
        result.push_back(text);
    }
    return result;
}

typedef std::vector<std::string> Modes;

class DisplayModeCatalogue : public ::testing::Test {
  protected:
    DisplayModeCatalogue() {
        direct3d.passingFormats.insert(D3DFMT_X8R8G8B8);
        // Whatever an earlier enumeration left must go.
        g_displayModes.assign(3, DisplayMode());
    }

    // Enumerates and checks the object was released once, and last.
    void Enumerate() {
        EnumerateDisplayModes(&direct3d);
        EXPECT_EQ(1, direct3d.releases);
        EXPECT_EQ(0, direct3d.callsAfterRelease);
    }

    ScriptedDirect3D direct3d;
};

TEST_F(DisplayModeCatalogue, KeepsModesOfAtLeast1024By768InReportedOrder) {
    direct3d.Add(800, 600);
    direct3d.Add(1920, 1080);
    direct3d.Add(1024, 600);
    direct3d.Add(1280, 720);
    direct3d.Add(1023, 768);
    direct3d.Add(1024, 767);
    direct3d.Add(1024, 768);
    direct3d.Add(1280, 1024);
    Enumerate();
    EXPECT_EQ((Modes{"1920x1080", "1024x768", "1280x1024"}), Listed());
    ASSERT_EQ(3u, g_displayModes.size());
    EXPECT_EQ(1080u, g_displayModes[0].height);
    EXPECT_EQ(1920u, g_displayModes[0].width);
}

TEST_F(DisplayModeCatalogue, BoundsCompareUnsigned) {
    // Taken as signed these would be negative and dropped.
    direct3d.Add(0x80000000u, 768);
    direct3d.Add(1024, 0xFFFFFFFFu);
    Enumerate();
    ASSERT_EQ(2u, g_displayModes.size());
    EXPECT_EQ(0x80000000u, g_displayModes[0].width);
    EXPECT_EQ(0xFFFFFFFFu, g_displayModes[1].height);
}

TEST_F(DisplayModeCatalogue, OneEntryPerRunOfRefreshRates) {
    direct3d.Add(1920, 1080, 60);
    direct3d.Add(1920, 1080, 75);
    direct3d.Add(1920, 1080, 120);
    direct3d.Add(1280, 1024, 60);
    direct3d.Add(1280, 1024, 75);
    Enumerate();
    EXPECT_EQ((Modes{"1920x1080", "1280x1024"}), Listed());
}

TEST_F(DisplayModeCatalogue, RepeatComparesWithTheLastListedEntry) {
    // Separated by a listed mode: listed again.
    direct3d.Add(1920, 1080);
    direct3d.Add(1280, 1024);
    direct3d.Add(1920, 1080);
    // Separated only by a dropped mode, or by one that is not reported: the
    // run continues.
    direct3d.Add(1600, 1200);
    direct3d.Add(800, 600);
    direct3d.Add(1600, 1200);
    direct3d.Add(1440, 900);
    direct3d.Add(1024, 768);
    direct3d.Add(1440, 900);
    direct3d.failingIndexes.insert(7);
    Enumerate();
    EXPECT_EQ((Modes{"1920x1080", "1280x1024", "1920x1080", "1600x1200", "1440x900"}), Listed());
}

TEST_F(DisplayModeCatalogue, SkipsModesThatFailToReport) {
    direct3d.Add(1024, 768);
    direct3d.Add(1280, 1024);
    direct3d.Add(1920, 1080);
    direct3d.failingIndexes.insert(0);
    direct3d.failingIndexes.insert(1);
    Enumerate();
    EXPECT_EQ((Modes{"1920x1080"}), Listed());
    EXPECT_EQ(3u, direct3d.enumFormats.size()); // every index was asked
}

TEST_F(DisplayModeCatalogue, ChecksA8R8G8B8FirstAndUsesTheFirstFormatThatPasses) {
    direct3d.passingFormats.insert(D3DFMT_A8R8G8B8);
    direct3d.Add(1024, 768);
    Enumerate();
    ASSERT_EQ(1u, direct3d.deviceChecks.size());
    const ScriptedDirect3D::DeviceCheck& check = direct3d.deviceChecks[0];
    EXPECT_EQ(static_cast<UINT>(D3DADAPTER_DEFAULT), check.adapter);
    EXPECT_EQ(D3DDEVTYPE_HAL, check.type);
    EXPECT_EQ(D3DFMT_A8R8G8B8, check.display);
    EXPECT_EQ(D3DFMT_A8R8G8B8, check.backBuffer);
    EXPECT_FALSE(check.windowed);
    EXPECT_EQ(std::vector<D3DFORMAT>(1, D3DFMT_A8R8G8B8), direct3d.countFormats);
    EXPECT_EQ(std::vector<D3DFORMAT>(1, D3DFMT_A8R8G8B8), direct3d.enumFormats);
    EXPECT_EQ((Modes{"1024x768"}), Listed());
}

TEST_F(DisplayModeCatalogue, FallsBackToX8R8G8B8) {
    direct3d.Add(1024, 768);
    direct3d.Add(1280, 1024);
    Enumerate();
    ASSERT_EQ(2u, direct3d.deviceChecks.size());
    EXPECT_EQ(D3DFMT_A8R8G8B8, direct3d.deviceChecks[0].display);
    EXPECT_EQ(D3DFMT_X8R8G8B8, direct3d.deviceChecks[1].display);
    EXPECT_EQ(D3DFMT_X8R8G8B8, direct3d.deviceChecks[1].backBuffer);
    EXPECT_FALSE(direct3d.deviceChecks[1].windowed);
    EXPECT_EQ(std::vector<D3DFORMAT>(1, D3DFMT_X8R8G8B8), direct3d.countFormats);
    EXPECT_EQ(std::vector<D3DFORMAT>(2, D3DFMT_X8R8G8B8), direct3d.enumFormats);
    EXPECT_EQ((Modes{"1024x768", "1280x1024"}), Listed());
}

TEST_F(DisplayModeCatalogue, UsesA8R8G8B8WhenNoFormatPasses) {
    direct3d.passingFormats.clear();
    direct3d.Add(1024, 768);
    Enumerate();
    EXPECT_EQ(2u, direct3d.deviceChecks.size());
    EXPECT_EQ(std::vector<D3DFORMAT>(1, D3DFMT_A8R8G8B8), direct3d.countFormats);
    EXPECT_EQ(std::vector<D3DFORMAT>(1, D3DFMT_A8R8G8B8), direct3d.enumFormats);
    EXPECT_EQ((Modes{"1024x768"}), Listed());
}

TEST_F(DisplayModeCatalogue, NothingToOfferLeavesTheListEmpty) {
    // No modes at all.
    Enumerate();
    EXPECT_TRUE(g_displayModes.empty());

    // Only small ones.
    ScriptedDirect3D small;
    small.passingFormats.insert(D3DFMT_X8R8G8B8);
    small.Add(640, 480);
    small.Add(800, 600);
    small.Add(1024, 600);
    g_displayModes.assign(2, DisplayMode());
    EnumerateDisplayModes(&small);
    EXPECT_TRUE(g_displayModes.empty());
    EXPECT_EQ(1, small.releases);
}

typedef FARPROC(WINAPI* GetProcAddressFunction)(HMODULE, LPCSTR);
GetProcAddressFunction g_realGetProcAddress;
IDirect3D9* g_direct3d;
UINT g_askedVersion;

IDirect3D9* WINAPI RecordingDirect3DCreate9(UINT version) {
    g_askedVersion = version;
    return g_direct3d;
}

FARPROC WINAPI DivertingGetProcAddress(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && lstrcmpA(name, "Direct3DCreate9") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(RecordingDirect3DCreate9));
    return g_realGetProcAddress(module, name);
}

TEST_F(DisplayModeCatalogue, AsksDirect3D9ForVersion32AndListsWhatThatObjectReports) {
    // Any version is accepted by Wine's Direct3D, so the request is watched.
    test::ScopedImportPatch patch("kernel32.dll", "GetProcAddress",
                                  reinterpret_cast<void*>(DivertingGetProcAddress));
    g_realGetProcAddress = reinterpret_cast<GetProcAddressFunction>(patch.original());
    g_direct3d = &direct3d;
    g_askedVersion = 0;
    direct3d.Add(1280, 1024);
    EnumerateDisplayModes();
    EXPECT_EQ(32u, g_askedVersion);
    EXPECT_EQ((Modes{"1280x1024"}), Listed());
    EXPECT_EQ(1, direct3d.releases);
}

TEST(DisplayModeCatalogueWithoutDirect3D, NoObjectLeavesTheListEmpty) {
    g_displayModes.assign(2, DisplayMode());
    EnumerateDisplayModes(NULL);
    EXPECT_TRUE(g_displayModes.empty());
}

} // namespace
