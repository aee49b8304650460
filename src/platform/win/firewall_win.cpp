#include <windows.h>

#include "platform/firewall.h"
// windows.h first: the firewall's header needs its types.
#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

#include "base/diag_log.h"
#include "platform/helper_client.h"
#include "platform/net.h"
#include "platform/win/win_text.h"

namespace quor {

namespace {

const CLSID CLSID_FW_MGR = {
    0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const IID IID_FW_MGR = {
    0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const CLSID CLSID_FW_APP = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
const IID IID_FW_APP = {
    0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};

unsigned long code(HRESULT hr) {
    return static_cast<unsigned long>(hr);
}

template <typename T>
void release(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

// A BSTR freed when it goes.
struct Bstr {
    explicit Bstr(const std::wstring& text) : s(SysAllocString(text.c_str())) {}
    ~Bstr() { SysFreeString(s); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR s;
};

// The firewall's current profile into *PROFILE.
HRESULT firewall_initialize(INetFwProfile** profile) {
    *profile = nullptr;
    INetFwMgr* mgr = nullptr;
    INetFwPolicy* policy = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FW_MGR, nullptr, CLSCTX_INPROC_SERVER, IID_FW_MGR,
                                  reinterpret_cast<void**>(&mgr));
    if (FAILED(hr)) {
        quor_log("CoCreateInstance failed: 0x%08lx\n", code(hr));
    } else if (hr = mgr->get_LocalPolicy(&policy); FAILED(hr)) {
        quor_log("get_localPolicy failed: 0x%08lx\n", code(hr));
    } else if (hr = policy->get_CurrentProfile(profile); FAILED(hr)) {
        quor_log("get_CurrentProfile failed: 0x%08lx\n", code(hr));
    }
    release(policy);
    release(mgr);
    return hr;
}

// Whether IMAGE is listed and enabled in PROFILE, into *ENABLED.
HRESULT firewall_app_is_enabled(INetFwProfile* profile, const std::wstring& image,
                                const std::string& image_text, bool* enabled) {
    *enabled = false;
    INetFwAuthorizedApplications* apps = nullptr;
    INetFwAuthorizedApplication* app = nullptr;
    HRESULT hr = profile->get_AuthorizedApplications(&apps);
    if (FAILED(hr)) {
        quor_log("get_AuthorizedApplications failed: 0x%08lx\n", code(hr));
        return hr;
    }
    Bstr path(image);
    if (!path.s) {
        hr = E_OUTOFMEMORY;
        quor_log("SysAllocString failed: 0x%08lx\n", code(hr));
    } else if (FAILED(apps->Item(path.s, &app))) {
        // Not listed: no error.
        hr = S_OK;
        quor_log("Authorized application %s is disabled in the firewall.\n", image_text.c_str());
    } else {
        VARIANT_BOOL on = VARIANT_FALSE;
        hr = app->get_Enabled(&on);
        if (FAILED(hr)) {
            quor_log("get_Enabled failed: 0x%08lx\n", code(hr));
        } else {
            *enabled = on != VARIANT_FALSE;
            quor_log("Authorized application %s is %s in the firewall.\n", image_text.c_str(),
                     *enabled ? "enabled" : "disabled");
        }
    }
    release(app);
    release(apps);
    return hr;
}

// Adds IMAGE under NAME to PROFILE unless it is listed and enabled.
HRESULT firewall_add_app(INetFwProfile* profile, const std::wstring& image,
                         const std::string& image_text, const std::wstring& name) {
    bool enabled = false;
    HRESULT hr = firewall_app_is_enabled(profile, image, image_text, &enabled);
    if (FAILED(hr)) {
        quor_log("WindowsFirewallAppIsEnabled failed: 0x%08lx\n", code(hr));
        return hr;
    }
    if (enabled) return S_OK;
    INetFwAuthorizedApplications* apps = nullptr;
    INetFwAuthorizedApplication* app = nullptr;
    Bstr path(image);
    Bstr app_name(name);
    if (hr = profile->get_AuthorizedApplications(&apps); FAILED(hr)) {
        quor_log("get_AuthorizedApplications failed: 0x%08lx\n", code(hr));
    } else if (hr = CoCreateInstance(CLSID_FW_APP, nullptr, CLSCTX_INPROC_SERVER, IID_FW_APP,
                                     reinterpret_cast<void**>(&app));
               FAILED(hr)) {
        quor_log("CoCreateInstance failed: 0x%08lx\n", code(hr));
    } else if (!path.s) {
        hr = E_OUTOFMEMORY;
        quor_log("SysAllocString failed: 0x%08lx\n", code(hr));
    } else if (hr = app->put_ProcessImageFileName(path.s); FAILED(hr)) {
        quor_log("put_ProcessImageFileName failed: 0x%08lx\n", code(hr));
    } else if (!app_name.s || SysStringLen(app_name.s) == 0) {
        hr = E_OUTOFMEMORY;
        quor_log("SysAllocString failed: 0x%08lx\n", code(hr));
    } else if (hr = app->put_Name(app_name.s); FAILED(hr)) {
        quor_log("put_Name failed: 0x%08lx\n", code(hr));
    } else if (hr = apps->Add(app); FAILED(hr)) {
        quor_log("Add failed: 0x%08lx\n", code(hr));
    } else {
        quor_log("Authorized application %s is now enabled in the firewall.\n", image_text.c_str());
    }
    release(app);
    release(apps);
    return hr;
}

}  // namespace

// On Windows the program's firewall exception covers the executable as a
// whole, made at start-up; there is no rule per paired phone to add or take
// back here.
void phone_firewall_open(uint32_t) {}
void phone_firewall_close() {}

// Windows lets any process bind ports below 1024.
int udp_bind_privileged(uint32_t addr, uint16_t port) {
    return udp_bind_at(addr, port);
}

int AddFirewallException(const std::string& image_path, const std::string& name) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // A thread that runs COM in another mode already is taken as it is.
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        quor_log("CoInitializeEx failed: 0x%08lx\n", code(init));
        return -1;
    }
    int result = -1;
    INetFwProfile* profile = nullptr;
    HRESULT hr = firewall_initialize(&profile);
    if (FAILED(hr)) {
        quor_log("WindowsFirewallInitialize failed: 0x%08lx\n", code(hr));
    } else if (hr = firewall_add_app(profile, utf8_to_wide(image_path), image_path,
                                     utf8_to_wide(name));
               FAILED(hr)) {
        quor_log("WindowsFirewallAddApp failed: 0x%08lx\n", code(hr));
    } else {
        result = 0;
    }
    release(profile);
    if (SUCCEEDED(init)) CoUninitialize();
    return result;
}

}  // namespace quor
